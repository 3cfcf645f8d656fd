#include "sql/fts/postgres.hpp"

namespace sarnic::fts::postgres {
namespace {

constexpr Dialect kDialect{Dialect::Postgres};

std::string_view query_function(MatchOperator op) {
  switch (op) {
    case MatchOperator::Match: return "plainto_tsquery";
    case MatchOperator::Phrase: return "phraseto_tsquery";
    case MatchOperator::Websearch: return "websearch_to_tsquery";
    case MatchOperator::Boolean: return "to_tsquery";
  }
  return "plainto_tsquery";
}

std::string_view query_function(TextSearchMode mode) {
  switch (mode) {
    case TextSearchMode::Plain: return "plainto_tsquery";
    case TextSearchMode::Phrase: return "phraseto_tsquery";
    case TextSearchMode::Websearch: return "websearch_to_tsquery";
    case TextSearchMode::Boolean: return "to_tsquery";
  }
  return "plainto_tsquery";
}

// Configuration names are identifier-checked by validation (field and index
// configurations alike), so they go between the quotes unescaped.
void open_call(std::string& out, std::string_view function, std::optional<std::string_view> config) {
  out.append(function);
  out.push_back('(');
  if (config) {
    out.push_back('\'');
    out.append(*config);
    out.append("', ");
  }
}

// A text column is searched through to_tsvector with the same configuration as
// the query; comparing it bare would not be a text search at all.
void append_document(std::string& out, const ColumnRef& column, const FieldMeta& field,
                     std::optional<std::string_view> config) {
  if (field.field_type == FieldType::Text) {
    open_call(out, "to_tsvector", config);
    append_column(out, kDialect, column);
    out.push_back(')');
  } else {
    append_column(out, kDialect, column);
  }
}

void append_query(std::string& out, std::string_view function, std::optional<std::string_view> config,
                  std::uint64_t param_number) {
  open_call(out, function, config);
  append_placeholder(out, kDialect, param_number);
  out.push_back(')');
}

}  // namespace

void emit_match(std::string& out, const ColumnRef& column, MatchOperator op, std::uint64_t param_number,
                const FieldMeta& field, std::optional<std::string_view> config) {
  append_document(out, column, field, config);
  out.append(" @@ ");
  append_query(out, query_function(op), config, param_number);
}

void emit_rank_order(std::string& out, const ColumnRef& column, std::uint64_t param_number, TextSearchMode mode,
                     const FieldMeta& field, std::optional<std::string_view> config) {
  if (!config) config = field.fts_config;
  out.append("ts_rank(");
  append_document(out, column, field, config);
  out.append(", ");
  append_query(out, query_function(mode), config, param_number);
  // Rows that do not match rank NULL on a text column: keep them last.
  out.append(") DESC NULLS LAST");
}

}  // namespace sarnic::fts::postgres
