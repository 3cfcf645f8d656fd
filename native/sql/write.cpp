// Single-row writes: INSERT, UPDATE and DELETE, and the column lists that
// INSERT and UPDATE (single and bulk) hand back to the caller.
#include <string>
#include <utility>
#include <variant>

#include "core/compile.hpp"
#include "sql/emit.hpp"
#include "sql/where.hpp"
#include "sql/write_support.hpp"

namespace sarnic {

using write::fail;

namespace {

//! Room for the statement frame, the table and the returned column list.
std::size_t frame_size(Dialect dialect, const ModelMetadata& metadata) {
  std::size_t n = 48 + write::quoted_size(metadata.table_name);
  switch (dialect.traits().write_return) {
    case WriteReturn::None:
      break;
    case WriteReturn::Returning:
      n += write::return_list_size(metadata.fields, false);
      break;
    case WriteReturn::OutputInserted:
      n += write::return_list_size(metadata.fields, true);
      break;
  }
  return n;
}

}  // namespace

bool has_default_values(Dialect dialect) {
  switch (dialect.kind) {
    case Dialect::Postgres:
    case Dialect::Sqlite:
    case Dialect::Mssql:
      return true;
    case Dialect::MySql:
      return false;
  }
  return false;
}

void append_output_clause(std::string& sql, Dialect dialect, const ModelMetadata& metadata) {
  if (dialect.traits().write_return != WriteReturn::OutputInserted) return;
  sql += " OUTPUT ";
  output_inserted_fields(sql, dialect, metadata.fields);
}

void append_returning_clause(std::string& sql, Dialect dialect, const ModelMetadata& metadata) {
  if (dialect.traits().write_return != WriteReturn::Returning) return;
  sql += " RETURNING ";
  returning_all_fields(sql, dialect, metadata.fields);
}

void returning_all_fields(std::string& out, Dialect dialect, std::span<const FieldMeta> fields) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) out += ", ";
    append_quoted(out, dialect, fields[i].column_name);
  }
}

void output_inserted_fields(std::string& out, Dialect dialect, std::span<const FieldMeta> fields) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) out += ", ";
    out += "INSERTED.";
    append_quoted(out, dialect, fields[i].column_name);
  }
}

CompileResult<CompiledQuery> emit_insert(Dialect dialect, const ModelMetadata& metadata, const QuerySetIR& ir) {
  if (auto checked = compile(metadata, ir); !checked) return std::unexpected(std::move(checked.error()));
  const auto* op = std::get_if<Insert>(&ir.operation);
  if (op == nullptr) return std::unexpected(fail(write::kNotInsert));

  const std::span<const Assignment> values = op->values;
  const std::size_t ph = write::placeholder_width(dialect, values.size());
  std::size_t size = frame_size(dialect, metadata);
  for (const Assignment& a : values) size += write::quoted_size(field_at(metadata, a.field.index).column_name) + ph + 4;

  std::string sql;
  sql.reserve(size);
  Params params;
  params.reserve(values.size());

  sql += "INSERT INTO ";
  append_quoted(sql, dialect, metadata.table_name);
  if (values.empty() && has_default_values(dialect)) {
    // "() VALUES ()" is not valid SQL outside MySQL.
    append_output_clause(sql, dialect, metadata);
    sql += " DEFAULT VALUES";
  } else {
    sql += " (";
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i != 0) sql += ", ";
      append_quoted(sql, dialect, field_at(metadata, values[i].field.index).column_name);
    }
    sql += ')';
    append_output_clause(sql, dialect, metadata);
    sql += " VALUES (";
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i != 0) sql += ", ";
      append_placeholder(sql, dialect, params.next_number());
      params.bind(values[i].value, ParamLabel::of_field(values[i].field.name, "insert"));
    }
    sql += ')';
  }
  append_returning_clause(sql, dialect, metadata);
  return write::finish(std::move(sql), std::move(params));
}

CompileResult<CompiledQuery> emit_update(Dialect dialect, const ModelMetadata& metadata, const QuerySetIR& ir) {
  if (auto checked = compile(metadata, ir); !checked) return std::unexpected(std::move(checked.error()));
  const auto* op = std::get_if<Update>(&ir.operation);
  if (op == nullptr) return std::unexpected(fail(write::kNotUpdate));

  const std::span<const Assignment> assignments = op->assignments;
  std::size_t size = frame_size(dialect, metadata) + 32 * (ir.filters.size() + (ir.predicate ? 1 : 0));
  for (const Assignment& a : assignments) {
    size += write::quoted_size(field_at(metadata, a.field.index).column_name) + 8;
  }

  std::string sql;
  sql.reserve(size);
  Params params;
  params.reserve(assignments.size() + ir.filters.size());

  // The condition gets the quoted table as its base reference (unused, as
  // update and delete never qualify their columns).
  const std::string table = Dialect::quote_ident(dialect, metadata.table_name);
  sql += "UPDATE ";
  sql += table;
  sql += " SET ";
  for (std::size_t i = 0; i < assignments.size(); ++i) {
    if (i != 0) sql += ", ";
    append_quoted(sql, dialect, field_at(metadata, assignments[i].field.index).column_name);
    sql += " = ";
    append_placeholder(sql, dialect, params.next_number());
    params.bind(assignments[i].value, ParamLabel::of_field(assignments[i].field.name, "assign"));
  }
  append_output_clause(sql, dialect, metadata);

  if (auto where = build_where_sql(sql, dialect, metadata, ir, table, false, params, " WHERE "); !where) {
    return std::unexpected(std::move(where.error()));
  }
  append_returning_clause(sql, dialect, metadata);
  return write::finish(std::move(sql), std::move(params));
}

CompileResult<CompiledQuery> emit_delete(Dialect dialect, const ModelMetadata& metadata, const QuerySetIR& ir) {
  if (auto checked = compile(metadata, ir); !checked) return std::unexpected(std::move(checked.error()));
  if (!std::holds_alternative<Delete>(ir.operation)) return std::unexpected(fail(write::kNotDelete));

  std::string sql;
  sql.reserve(24 + write::quoted_size(metadata.table_name) + 32 * (ir.filters.size() + (ir.predicate ? 1 : 0)));
  Params params;
  params.reserve(ir.filters.size());

  const std::string table = Dialect::quote_ident(dialect, metadata.table_name);
  sql += "DELETE FROM ";
  sql += table;
  if (auto where = build_where_sql(sql, dialect, metadata, ir, table, false, params, " WHERE "); !where) {
    return std::unexpected(std::move(where.error()));
  }
  return write::finish(std::move(sql), std::move(params));
}

}  // namespace sarnic
