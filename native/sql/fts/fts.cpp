#include "sql/fts/fts.hpp"

#include "sql/fts/mssql.hpp"
#include "sql/fts/mysql.hpp"
#include "sql/fts/postgres.hpp"
#include "sql/fts/sqlite.hpp"

namespace sarnic::fts {

std::optional<MatchOperator> parse_match_operator(std::string_view op) {
  if (op == "match") return MatchOperator::Match;
  if (op == "match_phrase") return MatchOperator::Phrase;
  if (op == "match_websearch") return MatchOperator::Websearch;
  if (op == "match_boolean") return MatchOperator::Boolean;
  return std::nullopt;
}

const FullTextIndexMeta* first_index_listing(const ModelMetadata& metadata, std::string_view field_name) {
  for (const FullTextIndexMeta& index : metadata.full_text_indexes) {
    for (std::string_view name : index.fields) {
      if (name == field_name) return &index;
    }
  }
  return nullptr;
}

const FieldMeta* field_named(const ModelMetadata& metadata, std::string_view name) {
  for (const FieldMeta& field : metadata.fields) {
    if (field.name == name) return &field;
  }
  return nullptr;
}

void append_match_columns(std::string& out, Dialect dialect, const ModelMetadata& metadata,
                          std::uint64_t field_index) {
  bool first = true;
  fts_match_columns(metadata, field_index, [&](std::string_view column) {
    if (!first) out.append(", ");
    first = false;
    append_quoted(out, dialect, column);
  });
}

std::optional<std::string_view> resolve_config(const ModelMetadata& metadata, const FieldMeta& field) {
  if (field.fts_config) return field.fts_config;
  if (const FullTextIndexMeta* index = first_index_listing(metadata, field.name)) return index->config;
  return std::nullopt;
}

BindValue emit_match(std::string& out, Dialect dialect, const ModelMetadata& metadata, std::uint64_t field_index,
                     const ColumnRef& column, MatchOperator op, std::uint64_t param_number, const BindValue& value) {
  switch (dialect.kind) {
    case Dialect::Postgres: {
      const FieldMeta& field = field_at(metadata, field_index);
      postgres::emit_match(out, column, op, param_number, field, resolve_config(metadata, field));
      break;
    }
    case Dialect::MySql: mysql::emit_match(out, metadata, field_index, op, param_number); break;
    case Dialect::Sqlite: sqlite::emit_match(out, metadata, field_index, param_number); break;
    case Dialect::Mssql: mssql::emit_match(out, column, op, param_number); break;
  }
  return value;
}

BindValue emit_field_match(std::string& out, Dialect dialect, const ModelMetadata& metadata,
                           std::uint64_t field_index, const ColumnRef& column, MatchOperator op,
                           std::uint64_t param_number, const BindValue& value) {
  switch (dialect.kind) {
    case Dialect::MySql: mysql::emit_field_match(out, metadata, field_index, op, param_number); return value;
    case Dialect::Sqlite: sqlite::emit_field_match(out, metadata, field_index, param_number); return value;
    case Dialect::Postgres:
    case Dialect::Mssql: break;
  }
  return emit_match(out, dialect, metadata, field_index, column, op, param_number, value);
}

void emit_rank_order_for_column(std::string& out, Dialect dialect, const ModelMetadata& metadata,
                                std::uint64_t field_index, const ColumnRef& column, const TextRankBy& rank,
                                const FieldMeta& field, std::string_view table_name, std::uint64_t param_number) {
  switch (dialect.kind) {
    case Dialect::Postgres:
      postgres::emit_rank_order(out, column, param_number, rank.mode, field, resolve_config(metadata, field));
      break;
    case Dialect::MySql: mysql::emit_rank_order(out, metadata, field_index, param_number, rank.mode); break;
    case Dialect::Sqlite: sqlite::emit_rank_order(out, metadata, field_index, table_name, param_number); break;
    case Dialect::Mssql:
      mssql::emit_rank_order(out, metadata, field_index, table_name, param_number, rank.mode);
      break;
  }
}

}  // namespace sarnic::fts
