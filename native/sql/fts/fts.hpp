#pragma once
// Full-text search: which columns a field's search covers, and the routing of
// match conditions and rank orderings to the dialect routines. Inputs have
// passed the full-text validation, so nothing here reports an error.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/bind_value.hpp"
#include "core/ir.hpp"
#include "core/metadata.hpp"
#include "sql/dialect.hpp"
#include "sql/where.hpp"

namespace sarnic::fts {

//! The four full-text filter operators.
enum class MatchOperator : std::uint8_t { Match, Phrase, Websearch, Boolean };

//! "match", "match_phrase", "match_websearch", "match_boolean" (byte-exact); else none.
std::optional<MatchOperator> parse_match_operator(std::string_view op);

//! The first full-text index whose field list names `field_name`, or null.
const FullTextIndexMeta* first_index_listing(const ModelMetadata& metadata, std::string_view field_name);

//! The model field named `name`, or null.
const FieldMeta* field_named(const ModelMetadata& metadata, std::string_view name);

//! Calls `visit(column_name)` for each column a field's search covers, in order:
//! the first index listing the field (its entries that name a model field, as
//! column names), else the field's source columns, else its own column.
template <class Visit>
void fts_match_columns(const ModelMetadata& metadata, std::uint64_t field_index, Visit&& visit) {
  const FieldMeta& field = field_at(metadata, field_index);
  if (const FullTextIndexMeta* index = fts::first_index_listing(metadata, field.name)) {
    for (std::string_view name : index->fields) {
      if (const FieldMeta* listed = field_named(metadata, name)) visit(listed->column_name);
    }
  } else if (field.fts_source_columns) {
    for (std::string_view column : *field.fts_source_columns) visit(column);
  } else {
    visit(field.column_name);
  }
}

//! The covered columns, each quoted for `dialect`, joined with ", ".
void append_match_columns(std::string& out, Dialect dialect, const ModelMetadata& metadata,
                          std::uint64_t field_index);

//! Text-search configuration: the field's own, else that of the first index
//! listing the field (none if that index has none), else none.
std::optional<std::string_view> resolve_config(const ModelMetadata& metadata, const FieldMeta& field);

//! Appends the match condition for a full-text filter, with one placeholder
//! numbered `param_number`; returns the value to bind (the filter's own).
BindValue emit_match(std::string& out, Dialect dialect, const ModelMetadata& metadata, std::uint64_t field_index,
                     const ColumnRef& column, MatchOperator op, std::uint64_t param_number, const BindValue& value);

//! emit_match for the statement IR, where a field's match searches that field
//! alone even when it shares an index with others (SQLite and MySQL).
BindValue emit_field_match(std::string& out, Dialect dialect, const ModelMetadata& metadata,
                           std::uint64_t field_index, const ColumnRef& column, MatchOperator op,
                           std::uint64_t param_number, const BindValue& value);
//! Appends the rank ordering expression, including its sort direction, with one
//! placeholder numbered `param_number`. The caller binds the query.
void emit_rank_order_for_column(std::string& out, Dialect dialect, const ModelMetadata& metadata,
                                std::uint64_t field_index, const ColumnRef& column, const TextRankBy& rank,
                                const FieldMeta& field, std::string_view table_name, std::uint64_t param_number);

}  // namespace sarnic::fts
