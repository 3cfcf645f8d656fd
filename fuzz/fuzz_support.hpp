#pragma once
// Shared by the fuzz targets: splitting one fuzz input into two documents, a
// JSON-tape to MessagePack transcoder for differential runs, and checks that
// are written independently of the code under test (UTF-8, FNV-1a, a SQL
// scanner), so a fault in the library cannot hide itself.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "codec/reader.hpp"
#include "core/arena.hpp"
#include "core/tape.hpp"
#include "sql/dialect.hpp"

namespace sarnic::fuzz {

[[noreturn, gnu::cold]] inline void broken(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "\n=== invariant broken: %.*s\n%.*s\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(std::min<std::size_t>(detail.size(), 4000)), detail.data());
  std::abort();
}

inline void check(bool ok, std::string_view what, std::string_view detail = {}) {
  if (!ok) broken(what, detail);
}

//! A heap copy of exactly `n` bytes, so that AddressSanitizer sees a read past
//! the end of one document instead of silently reading the next one.
class Exact {
 public:
  explicit Exact(std::string_view s) : data_(new char[s.size()]), size_(s.size()) {
    if (!s.empty()) std::memcpy(data_.get(), s.data(), s.size());
  }
  std::string_view view() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_;
};

struct Documents {
  std::string_view metadata;
  std::string_view body;  //!< the IR or the row batch
};

//! JSON: "metadata NUL body" (NUL never occurs in valid JSON text); without a
//! NUL the whole input is the body and the built-in metadata is used.
inline Documents split_json(std::string_view in, std::string_view builtin) {
  const std::size_t nul = in.find('\0');
  if (nul == std::string_view::npos) return {builtin, in};
  return {in.substr(0, nul), in.substr(nul + 1)};
}

//! MessagePack: a 2-byte big-endian metadata length, the metadata, the body.
//! Length 0 selects the built-in metadata.
inline Documents split_msgpack(std::string_view in, std::string_view builtin) {
  if (in.size() < 2) return {builtin, {}};
  std::size_t len = (static_cast<unsigned char>(in[0]) << 8) | static_cast<unsigned char>(in[1]);
  in.remove_prefix(2);
  if (len == 0) return {builtin, in};
  len = std::min(len, in.size());
  return {in.substr(0, len), in.substr(len)};
}

inline bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n;
    unsigned lo = 0x80, hi = 0xBF;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (s.size() - i <= n) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      const unsigned char b = static_cast<unsigned char>(s[i + k]);
      if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return false;
    }
    i += n + 1;
  }
  return true;
}

inline std::string fnv1a_hex(std::string_view s) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : s) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, h >>= 4) out[i] = "0123456789abcdef"[h & 0xF];
  return out;
}

// --- JSON tape -> MessagePack -------------------------------------------------

inline void put_be(std::string& out, std::uint8_t marker, std::uint64_t v, int bytes) {
  out.push_back(static_cast<char>(marker));
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

//! The same document in MessagePack. A tape lists values in document order, so
//! one linear pass writes headers and scalars. Fixed-width forms are used on
//! purpose: decoders must accept any integer or header width.
inline std::string transcode_to_msgpack(const Tape& tape) {
  std::string out;
  out.reserve(tape.size() * 9);
  for (const TapeEvent& e : tape) {
    switch (e.kind) {
      case TapeKind::Null: out.push_back(static_cast<char>(0xc0)); break;
      case TapeKind::False: out.push_back(static_cast<char>(0xc2)); break;
      case TapeKind::True: out.push_back(static_cast<char>(0xc3)); break;
      case TapeKind::UInt: put_be(out, 0xcf, e.u, 8); break;
      case TapeKind::Int: put_be(out, 0xd3, static_cast<std::uint64_t>(e.i), 8); break;
      case TapeKind::Double: {
        std::uint64_t bits;
        std::memcpy(&bits, &e.d, 8);
        put_be(out, 0xcb, bits, 8);
        break;
      }
      case TapeKind::String:
        put_be(out, 0xdb, e.size, 4);
        out.append(e.str, e.size);
        break;
      case TapeKind::Binary:
        put_be(out, 0xc6, e.size, 4);
        out.append(e.str, e.size);
        break;
      case TapeKind::Extension:
        put_be(out, 0xc9, e.size, 4);
        out.push_back(e.str[-1]);
        out.append(e.str, e.size);
        break;
      case TapeKind::Array: put_be(out, 0xdd, e.size, 4); break;
      case TapeKind::Map: put_be(out, 0xdf, e.size, 4); break;
    }
  }
  return out;
}

//! The MessagePack form of a JSON document, or empty when it does not parse.
inline std::string json_as_msgpack(std::string_view json) {
  Arena arena;
  Tape tape;
  if (!codec::read_json(json, arena, tape)) return {};
  return transcode_to_msgpack(tape);
}

//! Every container's direct children chain exactly to its `end`; every scalar
//! ends right after itself. Returns false on the first inconsistency.
inline bool tape_well_formed(const Tape& tape) {
  const std::size_t n = tape.size();
  for (std::size_t i = 0; i < n; ++i) {
    const TapeEvent& e = tape[i];
    if (e.end <= i || e.end > n) return false;
    if (!e.is_container()) {
      if (e.end != i + 1) return false;
      continue;
    }
    const std::uint64_t children = e.kind == TapeKind::Map ? 2ull * e.size : e.size;
    std::size_t j = i + 1;
    for (std::uint64_t k = 0; k < children; ++k) {
      if (j >= e.end) return false;
      j = tape[j].end;
    }
    if (j != e.end) return false;
  }
  return true;
}

// --- the built-in model ---------------------------------------------------------

// A model whose names hold every character that matters to quoting and
// placeholder counting, so an unquoted or badly quoted name breaks the checks.
constexpr std::string_view kBuiltinModelJson = R"({
 "model_name": "Art'icle",
 "table_name": "art\"i`c]l?e$1",
 "fields": [
  {"name": "id", "column_name": "id", "field_type": "int", "nullable": false,
   "allowed_operators": ["eq", "ne", "gt", "gte", "lt", "lte", "in", "is_null", "is_not_null", "GT"]},
  {"name": "title", "column_name": "ti?tle", "field_type": "text", "nullable": false,
   "allowed_operators": ["eq", "contains", "icontains", "startswith", "match", "match_phrase", "match_websearch", "match_boolean"]},
  {"name": "body", "column_name": "bo\"dy`]", "field_type": "text", "nullable": true,
   "allowed_operators": ["match", "match_boolean", "eq", "is_null"]},
  {"name": "search", "column_name": "search_$2", "field_type": "ts_vector", "nullable": true, "fts_config": "english",
   "allowed_operators": ["match", "match_phrase", "match_websearch", "match_boolean"]},
  {"name": "embedding", "column_name": "emb'ed", "field_type": "vector", "nullable": true, "vector_dimensions": 3,
   "allowed_operators": []},
  {"name": "notes", "column_name": "no tes", "field_type": "text", "nullable": true,
   "fts_source_columns": ["title", "notes"], "allowed_operators": ["match", "match_boolean", "icontains"]},
  {"name": "tags", "column_name": "t\u00e4gs", "field_type": "array_text", "nullable": true,
   "allowed_operators": ["eq", "contains"]},
  {"name": "views", "column_name": "views", "field_type": "big_int", "nullable": false,
   "allowed_operators": ["eq", "gte", "lt"]},
  {"name": "kind", "column_name": "ki[nd", "field_type": "enum", "nullable": true, "allowed_operators": ["eq", "ne"]},
  {"name": "plain", "column_name": "plain", "field_type": "text", "nullable": true, "fts_config": "simple",
   "allowed_operators": ["match"]}
 ],
 "pk_index": 0,
 "pk_fields": [0, 7],
 "full_text_indexes": [
  {"name": "ft_art?icles", "fields": ["title", "body"], "config": "simple"},
  {"name": "ft_plain", "fields": ["plain"]}
 ]
})";

// --- SQL scanner ----------------------------------------------------------------

//! Every word the emitters write outside quotes. Any other word outside quotes
//! means user text reached the statement unquoted.
inline constexpr std::string_view kSqlWords[] = {
    "AGAINST", "AND", "AS", "ASC", "BOOLEAN", "BY", "CASE", "CONTAINS", "CONTAINSTABLE", "DEFAULT",
    "DELETE", "DESC", "DISTINCT", "ELSE", "END", "EXISTS", "FETCH", "FREETEXT", "FREETEXTTABLE", "FROM",
    "ILIKE", "IN", "INSERT", "INSERTED", "INTO", "IS", "JOIN", "LANGUAGE", "LAST", "LEFT",
    "LIKE", "LIMIT", "MATCH", "MAX", "MODE", "NATURAL", "NEXT", "NOT", "NULL", "NULLS",
    "OFFSET", "ON", "ONLY", "OR", "ORDER", "OUTPUT", "RETURNING", "ROWS", "SELECT", "SET",
    "THEN", "UPDATE", "VALUES", "WHEN", "WHERE", "bigint", "bm25", "boolean", "bytea", "date",
    "double", "ft", "jsonb", "numeric", "phraseto_tsquery", "plainto_tsquery", "precision", "rowid", "t", "text", "time",
    "timestamptz", "to_tsquery", "to_tsvector", "ts_rank", "v", "vector", "websearch_to_tsquery",
};

inline bool known_word(std::string_view w) {
  for (std::string_view k : kSqlWords)
    if (k == w) return true;
  return false;
}

inline bool word_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

//! Checks a finished statement: quotes balanced; outside quotes only known
//! words, numbers, fixed punctuation and placeholders; PostgreSQL numbers
//! $1..$n in text order, the other dialects exactly n "?". Returns an empty
//! text when the statement passes, else what is wrong.
inline std::string scan_statement(Dialect dialect, std::string_view sql, std::size_t n_params,
                                  std::span<const std::string_view> extra_words = {}, bool arithmetic = false) {
  const bool pg = dialect.kind == Dialect::Postgres;
  std::size_t seen = 0;
  std::size_t i = 0;
  auto problem = [&](std::string_view what) {
    std::string s(what);
    s += " at byte ";
    s += std::to_string(i);
    return s;
  };
  while (i < sql.size()) {
    const char c = sql[i];
    char close = 0;
    if (c == '"' || c == '\'') close = c;
    if (c == '`' && dialect.kind == Dialect::MySql) close = '`';
    if (c == '[' && dialect.kind == Dialect::Mssql) close = ']';
    if (close) {
      // Quoted span: the closing character doubled stands for itself.
      std::size_t j = i + 1;
      for (;;) {
        if (j >= sql.size()) return problem("unterminated quote");
        if (sql[j] == close) {
          if (j + 1 < sql.size() && sql[j + 1] == close) {
            j += 2;
            continue;
          }
          break;
        }
        ++j;
      }
      i = j + 1;
      continue;
    }
    if (c == '?') {
      if (pg) return problem("'?' in a PostgreSQL statement");
      ++seen;
      ++i;
      continue;
    }
    if (c == '$') {
      if (!pg) return problem("'$' outside quotes");
      std::size_t j = i + 1;
      std::uint64_t n = 0;
      while (j < sql.size() && sql[j] >= '0' && sql[j] <= '9' && j - i < 21) n = n * 10 + (sql[j++] - '0');
      if (j == i + 1 || sql[i + 1] == '0') return problem("'$' not followed by a placeholder number");
      if (n != seen + 1) return problem("placeholder out of order");
      ++seen;
      i = j;
      continue;
    }
    if (word_char(c)) {
      std::size_t j = i;
      while (j < sql.size() && word_char(sql[j])) ++j;
      const std::string_view w = sql.substr(i, j - i);
      if (w[0] >= '0' && w[0] <= '9') {
        for (char d : w)
          if (d < '0' || d > '9') return problem("malformed number");
      } else if (!known_word(w) && std::find(extra_words.begin(), extra_words.end(), w) == extra_words.end()) {
        return problem("unquoted word '" + std::string(w) + "'");
      }
      i = j;
      continue;
    }
    switch (c) {
      case ' ': case '(': case ')': case ',': case '.': case '=': case '<': case '>': case '#': case '@': case ':':
        ++i;
        continue;
      case '+': case '*': case '/':
        if (arithmetic) {
          ++i;
          continue;
        }
        return problem("arithmetic outside quotes");
      case '-':  // a negative number ("LIMIT -1") or pgvector's "<->"; "--" would start a comment
        if (i + 1 < sql.size() && sql[i + 1] >= '1' && sql[i + 1] <= '9') {
          ++i;
          continue;
        }
        if (pg && i > 0 && sql[i - 1] == '<' && i + 1 < sql.size() && sql[i + 1] == '>') {
          ++i;
          continue;
        }
        if (arithmetic && i + 1 < sql.size() && (sql[i + 1] == ' ' || sql[i + 1] == '(' || sql[i + 1] == '"' ||
                                                  sql[i + 1] == '`' || sql[i + 1] == '[' || sql[i + 1] == '$' ||
                                                  sql[i + 1] == '?')) {
          ++i;
          continue;
        }
        return problem("'-' outside quotes");
      case '[': case ']':  // PostgreSQL array casts such as text[]
        if (pg) {
          ++i;
          continue;
        }
        return problem("bracket outside quotes");
      default:
        return problem("unexpected character outside quotes");
    }
  }
  if (seen != n_params) return "placeholder count " + std::to_string(seen) + " != " + std::to_string(n_params);
  if (!sql.empty() && (sql.back() == ';' || sql.back() == ' ')) return "statement ends with ';' or a blank";
  return {};
}

}  // namespace sarnic::fuzz
