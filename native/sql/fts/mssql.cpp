#include "sql/fts/mssql.hpp"

namespace sarnic::fts::mssql {
namespace {

constexpr Dialect kDialect{Dialect::Mssql};

std::string_view predicate_word(MatchOperator op) {
  switch (op) {
    case MatchOperator::Match:
    case MatchOperator::Websearch: return "FREETEXT";
    case MatchOperator::Phrase:
    case MatchOperator::Boolean: return "CONTAINS";
  }
  return "FREETEXT";
}

std::string_view table_function(TextSearchMode mode) {
  switch (mode) {
    case TextSearchMode::Plain:
    case TextSearchMode::Websearch: return "FREETEXTTABLE";
    case TextSearchMode::Phrase:
    case TextSearchMode::Boolean: return "CONTAINSTABLE";
  }
  return "FREETEXTTABLE";
}

}  // namespace

void emit_match(std::string& out, const ColumnRef& column, MatchOperator op, std::uint64_t param_number) {
  out.append(predicate_word(op));
  out.push_back('(');
  append_column(out, kDialect, column);
  out.append(", ");
  append_placeholder(out, kDialect, param_number);
  out.push_back(')');
}

void emit_rank_order(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index,
                     std::string_view table_name, std::uint64_t param_number, TextSearchMode mode) {
  // The key position is checked nowhere before this point: field_at() turns a
  // stray one into an internal fault.
  const FieldMeta& key = field_at(metadata, metadata.effective_pk_fields().front());
  out.append("(SELECT MAX(ft.[RANK]) FROM ");
  out.append(table_function(mode));
  out.push_back('(');
  append_quoted(out, kDialect, table_name);
  out.append(", (");
  append_match_columns(out, kDialect, metadata, field_index);
  out.append("), ");
  append_placeholder(out, kDialect, param_number);
  out.append(") AS ft WHERE ft.[KEY] = ");
  append_quoted(out, kDialect, table_name);
  out.push_back('.');
  append_quoted(out, kDialect, key.column_name);
  out.append(") DESC");
}

}  // namespace sarnic::fts::mssql
