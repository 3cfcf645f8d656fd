// SELECT statements: column list, DISTINCT, LEFT JOINs with their projections,
// WHERE, ordering and paging, or the EXISTS form. One growing statement.
#include "core/compile.hpp"
#include "sql/emit.hpp"
#include "sql/order.hpp"
#include "sql/where.hpp"

namespace sarnic {
namespace {

constexpr std::string_view kNotSelect = "emit_select called with non-Select operation";

// Room for the whole statement in one allocation in the common case: names
// appear at most twice quoted, plus fixed keywords per clause.
std::size_t estimate_size(const ModelMetadata& metadata, const QuerySetIR& ir, const Select& select) {
  std::size_t table = metadata.table_name.size() + 3;
  bool qualify = !ir.joins.empty();
  std::size_t size = 96 + 2 * table;
  for (const FieldRef& ref : select.fields) {
    size += 4 + (qualify ? table : 0);
    if (ref.index < metadata.fields.size()) size += metadata.fields[ref.index].column_name.size();
  }
  for (const JoinSpec& join : ir.joins) {
    size += 48 + 2 * table + join.remote_table.size() + 4 * join.alias.size() + join.remote_pk_column.size();
    for (const JoinFieldRef& ref : join.remote_fields) size += 16 + 2 * (join.alias.size() + ref.column.size());
  }
  std::size_t per_column = 24 + (qualify ? table : 0);
  size += (ir.filters.size() + ir.order_by.size()) * per_column;
  if (ir.predicate) size += 8 * per_column;
  if (ir.vector_order_by) size += per_column;
  if (ir.text_rank_by) size += 160 + 2 * table;
  return size;
}

}  // namespace

// The projection alias is double-quoted in every dialect; a double quote inside
// it is doubled so the alias cannot end early. MySQL reads "..." as a string
// literal with backslash escapes, where a trailing backslash would swallow the
// closing quote, so there a backslash is doubled as well (same alias name).
void append_projection_alias(std::string& out, Dialect dialect, std::string_view alias, std::string_view column) {
  const bool escape_backslash = dialect.kind == Dialect::MySql;
  out.push_back('"');
  for (std::string_view part : {alias, std::string_view("__"), column}) {
    for (char c : part) {
      out.push_back(c);
      if (c == '"' || (c == '\\' && escape_backslash)) out.push_back(c);
    }
  }
  out.push_back('"');
}

// SQL Server has no boolean expression as a select item.
void open_exists(std::string& out, Dialect dialect) {
  switch (dialect.kind) {
    case Dialect::Mssql: out.append("SELECT CASE WHEN EXISTS("); return;
    case Dialect::Postgres:
    case Dialect::MySql:
    case Dialect::Sqlite: out.append("SELECT EXISTS("); return;
  }
}

void close_exists(std::string& out, Dialect dialect) {
  switch (dialect.kind) {
    case Dialect::Mssql: out.append(") THEN 1 ELSE 0 END"); return;
    case Dialect::Postgres:
    case Dialect::MySql:
    case Dialect::Sqlite: out.push_back(')'); return;
  }
}

CompileResult<CompiledQuery> emit_select(Dialect dialect, const ModelMetadata& metadata, const QuerySetIR& ir) {
  if (CompileStatus checked = compile(metadata, ir); !checked) return std::unexpected(std::move(checked.error()));
  const Select* select = std::get_if<Select>(&ir.operation);
  if (select == nullptr) return std::unexpected(malformed_ir(std::string(kNotSelect)));

  CompiledQuery result;
  std::string& out = result.sql_text;
  out.reserve(estimate_size(metadata, ir, *select));
  std::string table;
  table.reserve(metadata.table_name.size() + 4);
  append_quoted(table, dialect, metadata.table_name);
  const bool qualify = !ir.joins.empty();

  Params params;
  params.reserve(ir.filters.size() + (ir.predicate ? 4 : 0) + 3);

  if (ir.exists) {
    open_exists(out, dialect);
    out.append("SELECT 1 FROM ");
    out.append(table);
  } else {
    out.append(ir.distinct ? "SELECT DISTINCT " : "SELECT ");
    bool first = true;
    for (const FieldRef& ref : select->fields) {
      if (!first) out.append(", ");
      first = false;
      qualify_base_column(out, dialect, table, field_at(metadata, ref.index).column_name, qualify);
    }
    for (const JoinSpec& join : ir.joins) {
      for (const JoinFieldRef& remote : join.remote_fields) {
        if (!first) out.append(", ");
        first = false;
        append_quoted(out, dialect, join.alias);
        out.push_back('.');
        append_quoted(out, dialect, remote.column);
        out.append(" AS ");
        append_projection_alias(out, dialect, join.alias, remote.column);
      }
    }
    out.append(" FROM ");
    out.append(table);
    for (const JoinSpec& join : ir.joins) {
      out.append(" LEFT JOIN ");
      append_quoted(out, dialect, join.remote_table);
      out.append(" AS ");
      append_quoted(out, dialect, join.alias);
      out.append(" ON ");
      qualify_base_column(out, dialect, table, field_at(metadata, join.local_field.index).column_name, true);
      out.append(" = ");
      append_quoted(out, dialect, join.alias);
      out.push_back('.');
      append_quoted(out, dialect, join.remote_pk_column);
    }
  }

  if (CompileResult<bool> where = build_where_sql(out, dialect, metadata, ir, table, qualify, params, " WHERE ");
      !where) {
    return std::unexpected(std::move(where.error()));
  }
  if (CompileStatus paged = append_order_limit_offset(out, dialect, metadata, ir, table, qualify, params); !paged) {
    return std::unexpected(std::move(paged.error()));
  }
  if (ir.exists) close_exists(out, dialect);

  result.bound_params = std::move(params.values);
  result.param_type_summary = std::move(params.labels);
  result.fingerprint = fingerprint(out);
  return result;
}

}  // namespace sarnic
