// Bulk writes: a multi-row INSERT, the PostgreSQL UPDATE ... FROM (VALUES ...)
// and a DELETE by key values. Each is one statement however many rows; the
// output and the parameter lists are sized once from the row count.
#include <algorithm>
#include <string>
#include <utility>
#include <variant>

#include "core/compile.hpp"
#include "sql/emit.hpp"
#include "sql/write_support.hpp"

namespace sarnic {

using write::fail;

namespace {

//! SQL Server has no row-value constructors, so a composite key cannot be
//! matched with "(a, b) IN ((...), ...)".
bool has_row_values(Dialect dialect) {
  switch (dialect.kind) {
    case Dialect::Postgres:
    case Dialect::MySql:
    case Dialect::Sqlite:
      return true;
    case Dialect::Mssql:
      return false;
  }
  return false;
}

}  // namespace

CompileResult<CompiledQuery> emit_bulk_insert(Dialect dialect, const ModelMetadata& metadata, const QuerySetIR& ir) {
  if (auto checked = compile(metadata, ir); !checked) return std::unexpected(std::move(checked.error()));
  const auto* op = std::get_if<BulkInsert>(&ir.operation);
  if (op == nullptr) return std::unexpected(fail(write::kNotBulkInsert));
  if (op->rows.empty()) internal_fault("bulk insert without rows passed validation");

  const std::span<const Assignment> first = op->rows.front();
  const std::size_t width = first.size();
  const std::size_t row_count = op->rows.size();
  const std::size_t total = row_count * width;
  const WriteReturn returns = op->returning ? dialect.traits().write_return : WriteReturn::None;

  std::size_t header = 32 + write::quoted_size(metadata.table_name);
  for (const Assignment& a : first) header += write::quoted_size(field_at(metadata, a.field.index).column_name) + 2;
  if (returns != WriteReturn::None) header += write::return_list_size(metadata.fields, true);
  const std::size_t per_row = 4 + width * (write::placeholder_width(dialect, total) + 2);

  std::string sql;
  sql.reserve(header + row_count * per_row);
  Params params;
  params.reserve(total);

  sql += "INSERT INTO ";
  append_quoted(sql, dialect, metadata.table_name);
  sql += " (";
  for (std::size_t j = 0; j < width; ++j) {
    if (j != 0) sql += ", ";
    append_quoted(sql, dialect, field_at(metadata, first[j].field.index).column_name);
  }
  sql += ')';
  if (op->returning) append_output_clause(sql, dialect, metadata);
  sql += " VALUES ";

  for (std::size_t r = 0; r < row_count; ++r) {
    const std::span<const Assignment> row = op->rows[r];
    // The columns come from the first row: a later row naming other fields, or
    // the same ones in another order, would put its values in the wrong columns.
    if (row.size() != width) return std::unexpected(fail(write::kRowsDiffer));
    if (r != 0) sql += ", ";
    sql += '(';
    for (std::size_t j = 0; j < width; ++j) {
      if (row[j].field.index != first[j].field.index) return std::unexpected(fail(write::kRowsDiffer));
      if (j != 0) sql += ", ";
      append_placeholder(sql, dialect, params.next_number());
      params.bind(row[j].value, ParamLabel::of_field(row[j].field.name, "bulk_insert"));
    }
    sql += ')';
  }

  if (op->returning) append_returning_clause(sql, dialect, metadata);
  return write::finish(std::move(sql), std::move(params));
}

CompileResult<CompiledQuery> emit_bulk_update(Dialect dialect, const ModelMetadata& metadata, const QuerySetIR& ir) {
  if (auto checked = compile(metadata, ir); !checked) return std::unexpected(std::move(checked.error()));
  const auto* op = std::get_if<BulkUpdate>(&ir.operation);
  if (op == nullptr) return std::unexpected(fail(write::kNotBulkUpdate));
  if (!dialect.traits().bulk_update) return std::unexpected(fail(write::kBulkUpdateDialect));

  const std::span<const FieldRef> keys = op->pk_fields;
  const std::span<const FieldRef> fields = op->fields;
  const std::size_t total = op->rows.size() * (keys.size() + fields.size());
  const std::size_t ph = write::placeholder_width(dialect, total);

  // Every row tuple has the same shape: placeholder, "::", cast, separator.
  std::size_t per_row = 4;
  std::size_t header = 64 + write::quoted_size(metadata.table_name);
  for (const FieldRef& k : keys) {
    const FieldMeta& f = field_at(metadata, k.index);
    per_row += ph + 4 + pg_cast_name(f.field_type).size();
    header += 3 * write::quoted_size(f.column_name) + 16;
  }
  for (const FieldRef& k : fields) {
    const FieldMeta& f = field_at(metadata, k.index);
    per_row += ph + 4 + pg_cast_name(f.field_type).size();
    header += 3 * write::quoted_size(f.column_name) + 8;
  }

  std::string sql;
  sql.reserve(header + op->rows.size() * per_row);
  Params params;
  params.reserve(total);

  sql += "UPDATE ";
  append_quoted(sql, dialect, metadata.table_name);
  sql += " AS t SET ";
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string_view column = field_at(metadata, fields[i].index).column_name;
    if (i != 0) sql += ", ";
    append_quoted(sql, dialect, column);
    sql += " = v.";
    append_quoted(sql, dialect, column);
  }
  sql += " FROM (VALUES ";

  auto cast_item = [&](const FieldRef& ref, const BindValue& value, std::string_view suffix) {
    append_placeholder(sql, dialect, params.next_number());
    sql += "::";
    sql += pg_cast_name(field_at(metadata, ref.index).field_type);
    params.bind(value, ParamLabel::of_field(ref.name, suffix));
  };
  for (std::size_t r = 0; r < op->rows.size(); ++r) {
    const BulkUpdateRow& row = op->rows[r];
    if (r != 0) sql += ", ";
    sql += '(';
    const std::size_t nk = std::min(keys.size(), row.pk_values.size());
    for (std::size_t i = 0; i < nk; ++i) {
      if (i != 0) sql += ", ";
      cast_item(keys[i], row.pk_values[i], "bulk_update_pk");
    }
    const std::size_t nf = std::min(fields.size(), row.values.size());
    for (std::size_t i = 0; i < nf; ++i) {
      if (nk + i != 0) sql += ", ";
      cast_item(fields[i], row.values[i], "bulk_update");
    }
    sql += ')';
  }

  sql += ") AS v(";
  for (std::size_t i = 0; i < keys.size() + fields.size(); ++i) {
    const FieldRef& ref = i < keys.size() ? keys[i] : fields[i - keys.size()];
    if (i != 0) sql += ", ";
    append_quoted(sql, dialect, field_at(metadata, ref.index).column_name);
  }
  sql += ") WHERE ";
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const std::string_view column = field_at(metadata, keys[i].index).column_name;
    if (i != 0) sql += " AND ";
    sql += "t.";
    append_quoted(sql, dialect, column);
    sql += " = v.";
    append_quoted(sql, dialect, column);
  }
  return write::finish(std::move(sql), std::move(params));
}

CompileResult<CompiledQuery> emit_bulk_delete(Dialect dialect, const ModelMetadata& metadata, const QuerySetIR& ir) {
  if (auto checked = compile(metadata, ir); !checked) return std::unexpected(std::move(checked.error()));
  const auto* op = std::get_if<BulkDelete>(&ir.operation);
  if (op == nullptr) return std::unexpected(fail(write::kNotBulkDelete));
  const std::span<const FieldRef> keys = op->pk_fields;
  if (keys.empty() || op->ids.empty()) internal_fault("bulk delete without keys or ids passed validation");

  const bool single = keys.size() == 1;
  const bool row_values = has_row_values(dialect);
  const std::size_t total = op->ids.size() * keys.size();
  const std::size_t ph = write::placeholder_width(dialect, total);

  std::size_t key_columns = 0;
  for (const FieldRef& k : keys) key_columns += write::quoted_size(field_at(metadata, k.index).column_name);
  // Row-value form: "(?, ?), "; SQL Server: "([a] = ? AND [b] = ?) OR ".
  const std::size_t per_row =
      row_values || single ? 4 + keys.size() * (ph + 2) : 8 + key_columns + keys.size() * (ph + 8);

  std::string sql;
  sql.reserve(32 + write::quoted_size(metadata.table_name) + 2 * key_columns + op->ids.size() * per_row);
  Params params;
  params.reserve(total);

  sql += "DELETE FROM ";
  append_quoted(sql, dialect, metadata.table_name);
  sql += " WHERE ";

  if (single) {
    append_quoted(sql, dialect, field_at(metadata, keys[0].index).column_name);
    sql += " IN (";
    for (std::size_t r = 0; r < op->ids.size(); ++r) {
      const std::span<const BindValue> row = op->ids[r];
      if (row.empty()) return std::unexpected(fail(write::kIdRowEmpty));
      if (r != 0) sql += ", ";
      append_placeholder(sql, dialect, params.next_number());
      params.bind(row[0], ParamLabel::of_field(keys[0].name, "bulk_delete"));
    }
    sql += ')';
    return write::finish(std::move(sql), std::move(params));
  }

  if (row_values) {
    sql += '(';
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (i != 0) sql += ", ";
      append_quoted(sql, dialect, field_at(metadata, keys[i].index).column_name);
    }
    sql += ") IN (";
  }
  for (std::size_t r = 0; r < op->ids.size(); ++r) {
    const std::span<const BindValue> row = op->ids[r];
    if (row.empty()) return std::unexpected(fail(write::kIdRowEmpty));
    // A short row would match on part of the key only and delete too much.
    if (row.size() < keys.size()) return std::unexpected(fail(write::kIdRowShort));
    if (r != 0) sql += row_values ? ", " : " OR ";
    sql += '(';
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (row_values) {
        if (i != 0) sql += ", ";
      } else {
        if (i != 0) sql += " AND ";
        append_quoted(sql, dialect, field_at(metadata, keys[i].index).column_name);
        sql += " = ";
      }
      append_placeholder(sql, dialect, params.next_number());
      params.bind(row[i], ParamLabel::of_field(keys[i].name, "bulk_delete"));
    }
    sql += ')';
  }
  if (row_values) sql += ')';
  return write::finish(std::move(sql), std::move(params));
}

}  // namespace sarnic
