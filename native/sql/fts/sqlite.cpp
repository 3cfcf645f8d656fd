#include "sql/fts/sqlite.hpp"

#include <optional>
#include <string_view>

#include "sql/dialect.hpp"
#include "sql/fts/fts.hpp"

namespace sarnic::fts::sqlite {
namespace {

constexpr Dialect kDialect{Dialect::Sqlite};

void append_doubling(std::string& out, std::string_view text, char quote) {
  for (char c : text) {
    out.push_back(c);
    if (c == quote) out.push_back(c);
  }
}

struct Span {
  std::size_t start, size;
};

// The first index listing the field names the companion table; otherwise it is
// "<table>_<field>_fts", built from the field's name, not its column. Written
// once; later mentions copy it from the statement.
Span append_companion(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index) {
  const FieldMeta& field = field_at(metadata, field_index);
  std::size_t start = out.size();
  if (const FullTextIndexMeta* index = first_index_listing(metadata, field.name)) {
    append_quoted(out, kDialect, index->name);
  } else {
    const DialectTraits& quotes = kDialect.traits();
    out.push_back(quotes.open_quote);
    append_doubling(out, metadata.table_name, quotes.close_quote);
    out.push_back('_');
    append_doubling(out, field.name, quotes.close_quote);
    out.append("_fts");
    out.push_back(quotes.close_quote);
  }
  return {start, out.size() - start};
}

void repeat(std::string& out, Span span) {
  out.reserve(out.size() + span.size);
  out.append(out.data() + span.start, span.size);
}

// "<table>.rowid IN (SELECT rowid FROM <companion> WHERE <companion> MATCH ?)";
// with `column`, the left of MATCH names that column of the companion alone.
void append_rowid_match(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index,
                        std::optional<std::string_view> column, std::uint64_t param_number) {
  append_quoted(out, kDialect, metadata.table_name);
  out.append(".rowid IN (SELECT rowid FROM ");
  Span companion = append_companion(out, metadata, field_index);
  out.append(" WHERE ");
  repeat(out, companion);
  if (column) {
    out.push_back('.');
    append_quoted(out, kDialect, *column);
  }
  out.append(" MATCH ");
  append_placeholder(out, kDialect, param_number);
  out.push_back(')');
}

}  // namespace

void emit_match(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index,
                std::uint64_t param_number) {
  append_rowid_match(out, metadata, field_index, std::nullopt, param_number);
}

void emit_field_match(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index,
                      std::uint64_t param_number) {
  const FieldMeta& field = field_at(metadata, field_index);
  const FullTextIndexMeta* index = first_index_listing(metadata, field.name);
  if (index == nullptr || index->fields.size() < 2) {
    emit_match(out, metadata, field_index, param_number);
    return;
  }
  // The companion holds every column of the index; naming the field's own
  // column on the left of MATCH searches that column alone.
  append_rowid_match(out, metadata, field_index, field.column_name, param_number);
}

void emit_rank_order(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index,
                     std::string_view table_name, std::uint64_t param_number) {
  out.append("(SELECT bm25(");
  Span companion = append_companion(out, metadata, field_index);
  out.append(") FROM ");
  repeat(out, companion);
  out.append(" WHERE ");
  repeat(out, companion);
  out.append(".rowid = ");
  append_quoted(out, kDialect, table_name);
  out.append(".rowid AND ");
  repeat(out, companion);
  out.append(" MATCH ");
  append_placeholder(out, kDialect, param_number);
  // bm25 is lower for better matches; rows without a match rank NULL, keep them last.
  out.append(") ASC NULLS LAST");
}

}  // namespace sarnic::fts::sqlite
