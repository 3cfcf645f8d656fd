// A model list + statement document through decoding and the whole statement
// compile, in every dialect. Built twice, as the compile target: JSON text or
// MessagePack bytes. The model list is given or, without one, two copies of
// the built-in model (a subquery over a second table needs the second).
//
// Beyond "no crash": parameters and labels pair up, the fingerprint is FNV-1a
// of the text, placeholders are $1..$n in order (PostgreSQL) or exactly n "?",
// nothing but fixed SQL words stands outside quotes, bound values write back
// to JSON and MessagePack, and every text is UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "codec/bind_writer.hpp"
#include "codec/decode_statement.hpp"
#include "codec/reader.hpp"
#include "core/internal_fault.hpp"
#include "fuzz_support.hpp"
#include "sql/statement_emit.hpp"

#ifndef SARNIC_FUZZ_MSGPACK
#define SARNIC_FUZZ_MSGPACK 0
#endif

namespace sarnic::fuzz {
namespace {

constexpr codec::Format kFormat = SARNIC_FUZZ_MSGPACK ? codec::Format::MessagePack : codec::Format::Json;
constexpr std::string_view kDialects[] = {"postgres", "mysql", "mariadb", "sqlite", "mssql"};

// The words the statement writer adds to those of the query emitters.
constexpr std::string_view kStatementWords[] = {
    "ALL", "ANY", "AVG", "CHAR_LENGTH", "COALESCE", "CONFLICT", "COUNT", "DO", "DUPLICATE", "EXCLUDED", "FOR",
    "GROUP", "HAVING", "KEY", "LEN", "LENGTH", "LOCKED", "LOWER", "MIN", "NOTHING", "NOWAIT", "OF", "OPENJSON",
    "READPAST", "ROWLOCK", "SKIP", "SUM", "UPDLOCK", "UPPER", "WITH", "json_each", "uuid", "value", "ESCAPE", "COLLATE", "utf8mb4_bin",
    "Latin1_General_CS_AS", "sarnic_fold",
};

const std::string& builtin_models() {
  static const std::string doc = [] {
    std::string json = "[";
    json += kBuiltinModelJson;
    json += ",";
    json += kBuiltinModelJson;
    json += "]";
    if constexpr (kFormat == codec::Format::Json) {
      return json;
    } else {
      Arena arena;
      Tape tape;
      if (!codec::read_json(json, arena, tape)) broken("built-in models do not parse");
      return transcode_to_msgpack(tape);
    }
  }();
  return doc;
}

void check_success(const DispatchedQuery& result, Dialect dialect) {
  const CompiledQuery& q = result.query;
  const std::size_t n = q.bound_params.size();
  check(n == q.param_type_summary.size(), "bound_params and param_type_summary differ in length", q.sql_text);
  check(q.fingerprint == fnv1a_hex(q.sql_text), "fingerprint is not FNV-1a of sql_text", q.sql_text);
  check(valid_utf8(q.sql_text), "sql_text is not UTF-8", q.sql_text);
  const std::string bad = scan_statement(dialect, q.sql_text, n, kStatementWords, true);
  check(bad.empty(), bad, q.sql_text);
  Arena arena;
  Tape tape;
  std::string json;
  for (std::size_t i = 0; i < n; ++i) {
    json.clear();
    codec::write_bind_json(json, q.bound_params[i]);
    check(codec::read_json(json, arena, tape).has_value(), "a bound value writes invalid JSON", json);
    check(valid_utf8(q.param_type_summary[i].render()), "label is not UTF-8");
  }
  std::string blob;
  codec::write_bind_list_msgpack(blob, q.bound_params);
  check(codec::read_msgpack(blob, tape).has_value(), "bound_params MessagePack does not read back");
  check(!tape.empty() && tape[0].kind == TapeKind::Array && tape[0].size == n && tape_well_formed(tape),
        "bound_params MessagePack is not an array of n values");
}

void run(std::string_view models_doc, std::string_view statement_doc) {
  Arena arena;
  Tape scratch;
  auto models = codec::decode_models(kFormat, models_doc, arena, scratch);
  if (!models) {
    check(valid_utf8(models.error()) && !models.error().empty(), "models error text", models.error());
    return;
  }
  auto doc = codec::decode_statement_document(kFormat, statement_doc, arena, scratch);
  if (!doc) {
    check(valid_utf8(doc.error()) && !doc.error().empty(), "statement error text", doc.error());
    return;
  }
  // Version-3 documents are the query target's; here only the statement writer.
  if (!doc->version_4) return;
  for (std::string_view dialect : kDialects) {
    try {
      auto result = dispatch_statement(*models, doc->statement, dialect);
      if (result) {
        check_success(*result, *Dialect::parse(dialect));
      } else {
        const std::string text = result.error().render();
        check(valid_utf8(text) && !text.empty(), "error text", text);
      }
    } catch (const InternalFault& fault) {
      check(false, "internal fault in the statement writer", fault.what());
    }
  }
}

}  // namespace
}  // namespace sarnic::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace sarnic::fuzz;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const Documents docs = SARNIC_FUZZ_MSGPACK ? split_msgpack(input, builtin_models()) : split_json(input, builtin_models());
  const Exact models(docs.metadata), statement(docs.body);
  run(models.view(), statement.view());
  return 0;
}
