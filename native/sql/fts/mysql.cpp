#include "sql/fts/mysql.hpp"

namespace sarnic::fts::mysql {
namespace {

constexpr Dialect kDialect{Dialect::MySql};

std::string_view mode_word(MatchOperator op) {
  switch (op) {
    case MatchOperator::Boolean: return "BOOLEAN";
    case MatchOperator::Match:
    case MatchOperator::Phrase:
    case MatchOperator::Websearch: return "NATURAL LANGUAGE";
  }
  return "NATURAL LANGUAGE";
}

std::string_view mode_word(TextSearchMode mode) {
  switch (mode) {
    case TextSearchMode::Boolean: return "BOOLEAN";
    case TextSearchMode::Plain:
    case TextSearchMode::Phrase:
    case TextSearchMode::Websearch: return "NATURAL LANGUAGE";
  }
  return "NATURAL LANGUAGE";
}

void append_against(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index,
                    std::uint64_t param_number, std::string_view mode) {
  out.append("MATCH(");
  match_columns_sql(out, metadata, field_index);
  out.append(") AGAINST (");
  append_placeholder(out, kDialect, param_number);
  out.append(" IN ");
  out.append(mode);
  out.append(" MODE)");
}

}  // namespace

void match_columns_sql(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index) {
  append_match_columns(out, kDialect, metadata, field_index);
}

void emit_match(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index, MatchOperator op,
                std::uint64_t param_number) {
  append_against(out, metadata, field_index, param_number, mode_word(op));
}

void emit_field_match(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index, MatchOperator op,
                      std::uint64_t param_number) {
  const FieldMeta& field = field_at(metadata, field_index);
  const FullTextIndexMeta* index = first_index_listing(metadata, field.name);
  if (index == nullptr || index->fields.size() < 2) {
    emit_match(out, metadata, field_index, op, param_number);
    return;
  }
  // MATCH must list exactly the columns of one FULLTEXT index: the layer's
  // DDL gives each field of a shared index one of its own.
  out.append("MATCH(");
  append_quoted(out, kDialect, field.column_name);
  out.append(") AGAINST (");
  append_placeholder(out, kDialect, param_number);
  out.append(" IN ");
  out.append(mode_word(op));
  out.append(" MODE)");
}

void emit_rank_order(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index,
                     std::uint64_t param_number, TextSearchMode mode) {
  append_against(out, metadata, field_index, param_number, mode_word(mode));
  out.append(" DESC");
}

}  // namespace sarnic::fts::mysql
