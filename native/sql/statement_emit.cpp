// The statement half of the statement writer: SELECT and VALUES reads with
// their joins, grouping, ordering and paging; INSERT with its conflict clause,
// bulk INSERT, UPDATE, bulk UPDATE and DELETE; row locks; and the dispatcher.
#include "sql/statement_emit.hpp"

#include <string>
#include <utility>

#include "core/compile.hpp"
#include "core/statement_check.hpp"
#include "sql/order.hpp"
#include "sql/statement_writer.hpp"

namespace sarnic {
namespace {

[[gnu::cold]] CompileError not_supported(std::string_view what, std::string_view dialect) {
  std::string message(what);
  message += " is not supported on ";
  message += dialect;
  return malformed_ir(std::move(message));
}

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != b[i]) return false;
  }
  return true;
}

}  // namespace

namespace statement_sql {

// The first occurrence of a table keeps its name; later ones read
// "<table>_2", "<table>_3", ... so that a correlated subquery over the same
// table can tell its rows from the outer ones.
void Writer::table(Scope& scope, std::uint64_t model, bool locked_hint) {
  const std::string_view name = models_[model].table_name;
  unsigned count = 0;
  for (auto& [table, uses] : uses_) {
    if (table == name) count = ++uses;
  }
  if (count == 0) {
    uses_.emplace_back(name, 1);
    count = 1;
  }
  append_quoted(out_, dialect_, name);
  std::string quoted;
  if (count == 1) {
    append_quoted(quoted, dialect_, name);
  } else {
    std::string alias(name);
    alias += '_';
    alias += std::to_string(count);
    out_ += " AS ";
    append_quoted(out_, dialect_, alias);
    append_quoted(quoted, dialect_, alias);
  }
  if (locked_hint) lock_hint(*scope.statement);
  scope.names.push_back(std::move(quoted));
}

CompileStatus Writer::where(const Statement& st, const Scope& scope) {
  if (st.where == nullptr) return {};
  out_ += " WHERE ";
  return expr(*st.where, scope);
}

void Writer::lock_hint(const Statement& st) {
  if (dialect_.kind != Dialect::Mssql || !st.lock) return;
  out_ += " WITH (UPDLOCK, ROWLOCK";
  if (st.lock->skip_locked) out_ += ", READPAST";
  if (st.lock->nowait) out_ += ", NOWAIT";
  out_ += ')';
}

void Writer::lock_clause(const Statement& st, const Scope& scope) {
  if (!st.lock) return;
  switch (dialect_.kind) {
    case Dialect::Sqlite:  // a write transaction already holds the database
    case Dialect::Mssql:   // table hints, written with each table
      return;
    case Dialect::Postgres:
    case Dialect::MySql:
      break;
  }
  out_ += " FOR UPDATE";
  // MariaDB has no OF list; its FOR UPDATE locks the rows of every table read.
  if (!st.lock->of.empty() && !(dialect_.kind == Dialect::MySql && mariadb_)) {
    out_ += " OF ";
    for (std::size_t i = 0; i < st.lock->of.size(); ++i) {
      if (i != 0) out_ += ", ";
      out_ += scope.names[st.lock->of[i]];
    }
  }
  if (st.lock->skip_locked) out_ += " SKIP LOCKED";
  if (st.lock->nowait) out_ += " NOWAIT";
}

CompileStatus Writer::read(const Statement& st, const Scope* parent, Items items, bool top) {
  const ModelMetadata& model = models_[st.model];
  const bool wrap = top && st.exists;
  if (wrap) open_exists(out_, dialect_);
  Scope scope{&st, parent, {}, qualify_};
  scope.names.reserve(1 + st.joins.size());

  // The FROM clause names the tables before the select list reads them, but
  // comes after it in the text: write it aside, then put it in place.
  std::string head = std::move(out_);
  out_.clear();
  out_ += " FROM ";
  table(scope, st.model, true);
  for (const StatementJoin& join : st.joins) {
    const ModelMetadata& target = models_[join.model];
    out_ += " LEFT JOIN ";
    table(scope, join.model, true);
    out_ += " ON ";
    column(scope, 0, join.local_field);
    out_ += " = ";
    out_ += scope.names.back();
    out_ += '.';
    append_quoted(out_, dialect_, field_at(target, target.effective_pk_fields()[0]).column_name);
  }
  std::string from = std::move(out_);
  out_ = std::move(head);

  out_ += st.distinct && items == Items::Own && !st.exists ? "SELECT DISTINCT " : "SELECT ";
  if (items == Items::One || st.exists) {
    out_ += '1';
  } else if (st.kind == StatementKind::Values) {
    if (auto ok = exprs(st.items, scope, ", "); !ok) return ok;
  } else {
    bool first = true;
    for (std::uint64_t field : st.fields) {
      if (!first) out_ += ", ";
      first = false;
      column(scope, 0, field);
    }
    for (std::size_t j = 0; j < st.joins.size(); ++j) {
      const StatementJoin& join = st.joins[j];
      const ModelMetadata& target = models_[join.model];
      for (std::uint64_t field : join.fields) {
        if (!first) out_ += ", ";
        first = false;
        const std::string_view col = field_at(target, field).column_name;
        out_ += scope.names[j + 1];
        out_ += '.';
        append_quoted(out_, dialect_, col);
        out_ += " AS ";
        append_projection_alias(out_, dialect_, join.name, col);
      }
    }
  }
  out_ += from;
  if (auto ok = where(st, scope); !ok) return ok;
  if (!st.group_by.empty()) {
    out_ += " GROUP BY ";
    if (auto ok = exprs(st.group_by, scope, ", "); !ok) return ok;
  }
  if (st.having) {
    out_ += " HAVING ";
    if (auto ok = expr(*st.having, scope); !ok) return ok;
  }
  if (!st.order_by.empty()) {
    out_ += " ORDER BY ";
    for (std::size_t i = 0; i < st.order_by.size(); ++i) {
      if (i != 0) out_ += ", ";
      if (auto ok = expr(st.order_by[i].expr, scope); !ok) return ok;
      out_ += st.order_by[i].direction == SortDirection::Desc ? " DESC" : " ASC";
    }
    append_paging(out_, dialect_, params_, st.limit, st.offset, true);
  } else {
    // Distance and rank ordering are the version-3 clauses on the statement's own table.
    QuerySetIR probe;
    probe.vector_order_by = st.vector_order_by;
    probe.text_rank_by = st.text_rank_by;
    probe.limit = st.limit;
    probe.offset = st.offset;
    if (auto ok = append_order_limit_offset(out_, dialect_, model, probe, scope.names[0], scope.qualify, params_); !ok)
      return ok;
  }
  lock_clause(st, scope);
  if (wrap) close_exists(out_, dialect_);
  return {};
}

void Writer::returning(const ModelMetadata& model) {
  const bool returns = dialect_.traits().write_return == WriteReturn::Returning ||
                       (dialect_.kind == Dialect::MySql && mariadb_);
  if (!returns) return;
  out_ += " RETURNING ";
  returning_all_fields(out_, dialect_, model.fields);
}

CompileStatus Writer::conflict_clause(const Statement& st, const Scope& scope) {
  if (!st.on_conflict) return {};
  const OnConflict& conflict = *st.on_conflict;
  const ModelMetadata& model = models_[st.model];
  if (dialect_.kind == Dialect::Mssql) return std::unexpected(not_supported("on_conflict", "mssql"));
  if (dialect_.kind == Dialect::MySql) {
    // MySQL takes no target: any unique key that collides updates the row.
    out_ += " ON DUPLICATE KEY UPDATE ";
    if (!conflict.update) {
      // An assignment that changes nothing: the row stays as it was, and the
      // affected count (0) tells the caller it existed.
      const std::string_view key = field_at(model, model.effective_pk_fields()[0]).column_name;
      append_quoted(out_, dialect_, key);
      out_ += " = ";
      append_quoted(out_, dialect_, key);
      return {};
    }
  } else {
    out_ += " ON CONFLICT";
    if (!conflict.target.empty()) {
      out_ += " (";
      for (std::size_t i = 0; i < conflict.target.size(); ++i) {
        if (i != 0) out_ += ", ";
        append_quoted(out_, dialect_, field_at(model, conflict.target[i]).column_name);
      }
      out_ += ')';
    }
    if (!conflict.update) {
      out_ += " DO NOTHING";
      return {};
    }
    out_ += " DO UPDATE SET ";
  }
  for (std::size_t i = 0; i < conflict.update->size(); ++i) {
    const ColumnValue& a = (*conflict.update)[i];
    if (i != 0) out_ += ", ";
    append_quoted(out_, dialect_, field_at(model, a.field).column_name);
    out_ += " = ";
    if (auto ok = expr(a.value, scope); !ok) return ok;
  }
  return {};
}

CompileStatus Writer::insert(const Statement& st) {
  const ModelMetadata& model = models_[st.model];
  // Inside DO UPDATE a bare column could mean the stored row or the proposed
  // one: the stored row's columns are always written with the table's name.
  Scope scope{&st, nullptr, {}, true};
  scope.names.push_back(Dialect::quote_ident(dialect_, model.table_name));
  out_ += "INSERT INTO ";
  out_ += scope.names[0];
  const bool rows_back = st.hands_rows_back();
  if (st.assignments.empty() && has_default_values(dialect_)) {
    if (rows_back) append_output_clause(out_, dialect_, model);
    out_ += " DEFAULT VALUES";
  } else {
    out_ += " (";
    for (std::size_t i = 0; i < st.assignments.size(); ++i) {
      if (i != 0) out_ += ", ";
      append_quoted(out_, dialect_, field_at(model, st.assignments[i].field).column_name);
    }
    out_ += ')';
    if (rows_back) append_output_clause(out_, dialect_, model);
    out_ += " VALUES (";
    for (std::size_t i = 0; i < st.assignments.size(); ++i) {
      if (i != 0) out_ += ", ";
      if (auto ok = expr(st.assignments[i].value, scope); !ok) return ok;
    }
    out_ += ')';
  }
  if (auto ok = conflict_clause(st, scope); !ok) return ok;
  if (rows_back) returning(model);
  return {};
}

CompileStatus Writer::bulk_insert(const Statement& st) {
  const ModelMetadata& model = models_[st.model];
  Scope scope{&st, nullptr, {}, true};
  scope.names.push_back(Dialect::quote_ident(dialect_, model.table_name));
  const auto first = st.rows.front();
  out_ += "INSERT INTO ";
  out_ += scope.names[0];
  out_ += " (";
  for (std::size_t i = 0; i < first.size(); ++i) {
    if (i != 0) out_ += ", ";
    append_quoted(out_, dialect_, field_at(model, first[i].field).column_name);
  }
  out_ += ')';
  const bool rows_back = st.hands_rows_back();
  if (rows_back) append_output_clause(out_, dialect_, model);
  out_ += " VALUES ";
  params_.reserve(st.rows.size() * first.size());
  for (std::size_t r = 0; r < st.rows.size(); ++r) {
    if (r != 0) out_ += ", ";
    out_ += '(';
    const auto row = st.rows[r];
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i != 0) out_ += ", ";
      placeholder(row[i].value, ParamLabel::of_field(field_at(model, row[i].field).name, "bulk_insert"));
    }
    out_ += ')';
  }
  if (auto ok = conflict_clause(st, scope); !ok) return ok;
  if (rows_back) returning(model);
  return {};
}

CompileStatus Writer::update(const Statement& st) {
  const ModelMetadata& model = models_[st.model];
  Scope scope{&st, nullptr, {}, qualify_};
  out_ += "UPDATE ";
  table(scope, st.model, false);
  out_ += " SET ";
  for (std::size_t i = 0; i < st.assignments.size(); ++i) {
    if (i != 0) out_ += ", ";
    append_quoted(out_, dialect_, field_at(model, st.assignments[i].field).column_name);
    out_ += " = ";
    if (auto ok = expr(st.assignments[i].value, scope); !ok) return ok;
  }
  const bool rows_back = st.hands_rows_back();
  if (rows_back) append_output_clause(out_, dialect_, model);
  if (auto ok = where(st, scope); !ok) return ok;
  // As the version-3 update: the changed rows come back where the dialect can say so.
  if (rows_back) append_returning_clause(out_, dialect_, model);
  return {};
}

void Writer::key_match(const Statement& st, const BulkUpdateRow& row) {
  const ModelMetadata& model = models_[st.model];
  const bool composite = st.key_fields.size() > 1;
  if (composite) out_ += '(';
  for (std::size_t k = 0; k < st.key_fields.size(); ++k) {
    if (k != 0) out_ += " AND ";
    const FieldMeta& key = field_at(model, st.key_fields[k]);
    append_quoted(out_, dialect_, key.column_name);
    out_ += " = ";
    placeholder(row.pk_values[k], ParamLabel::of_field(key.name, "bulk_update_pk"));
  }
  if (composite) out_ += ')';
}

// PostgreSQL keeps the join to a typed VALUES list of the version-3 form; the
// other engines get one CASE per column, which every one of them runs.
CompileStatus Writer::bulk_update(const Statement& st) {
  const ModelMetadata& model = models_[st.model];
  if (dialect_.kind == Dialect::Postgres) {
    std::span<FieldRef> keys = arena_.alloc<FieldRef>(st.key_fields.size());
    std::span<FieldRef> fields = arena_.alloc<FieldRef>(st.fields.size());
    for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = {field_at(model, st.key_fields[i]).name, st.key_fields[i]};
    for (std::size_t i = 0; i < fields.size(); ++i) fields[i] = {field_at(model, st.fields[i]).name, st.fields[i]};
    QuerySetIR ir;
    ir.version = SUPPORTED_IR_VERSION;
    ir.model_name = model.model_name;
    ir.operation = BulkUpdate{keys, fields, st.updates};
    CompileResult<CompiledQuery> compiled = emit_bulk_update(dialect_, model, ir);
    if (!compiled) return std::unexpected(std::move(compiled.error()));
    out_ = std::move(compiled->sql_text);
    params_.values = std::move(compiled->bound_params);
    params_.labels = std::move(compiled->param_type_summary);
    return {};
  }
  const bool single = st.key_fields.size() == 1;
  out_ += "UPDATE ";
  append_quoted(out_, dialect_, model.table_name);
  out_ += " SET ";
  for (std::size_t f = 0; f < st.fields.size(); ++f) {
    const FieldMeta& field = field_at(model, st.fields[f]);
    if (f != 0) out_ += ", ";
    append_quoted(out_, dialect_, field.column_name);
    out_ += " = CASE";
    for (const BulkUpdateRow& row : st.updates) {
      out_ += " WHEN ";
      key_match(st, row);
      out_ += " THEN ";
      placeholder(row.values[f], ParamLabel::of_field(field.name, "bulk_update"));
    }
    out_ += " ELSE ";
    append_quoted(out_, dialect_, field.column_name);
    out_ += " END";
  }
  out_ += " WHERE ";
  if (single) {
    const FieldMeta& key = field_at(model, st.key_fields[0]);
    append_quoted(out_, dialect_, key.column_name);
    out_ += " IN (";
    for (std::size_t r = 0; r < st.updates.size(); ++r) {
      if (r != 0) out_ += ", ";
      placeholder(st.updates[r].pk_values[0], ParamLabel::of_field(key.name, "bulk_update_pk"));
    }
    out_ += ')';
    return {};
  }
  for (std::size_t r = 0; r < st.updates.size(); ++r) {
    if (r != 0) out_ += " OR ";
    key_match(st, st.updates[r]);
  }
  return {};
}

CompileStatus Writer::remove(const Statement& st) {
  Scope scope{&st, nullptr, {}, qualify_};
  out_ += "DELETE FROM ";
  table(scope, st.model, false);
  return where(st, scope);
}

CompileStatus Writer::top(const Statement& st) {
  switch (st.kind) {
    case StatementKind::Select:
    case StatementKind::Values:
      return read(st, nullptr, Items::Own, true);
    case StatementKind::Insert: return insert(st);
    case StatementKind::BulkInsert: return bulk_insert(st);
    case StatementKind::Update: return update(st);
    case StatementKind::Delete: return remove(st);
    case StatementKind::BulkUpdate: return bulk_update(st);
  }
  return {};
}

}  // namespace statement_sql

CompileResult<DispatchedQuery> dispatch_statement(std::span<const ModelMetadata> models, const Statement& statement,
                                                  std::string_view dialect_name) {
  std::optional<Dialect> dialect = Dialect::parse(dialect_name);
  if (!dialect) {
    std::string message = "unknown dialect ";
    message += quoted_form(dialect_name);
    message += "; expected postgres, mysql, mariadb, sqlite, or mssql";
    return std::unexpected(malformed_ir(std::move(message)));
  }
  CompileResult<StatementShape> shape = check_statement(models, statement);
  if (!shape) return std::unexpected(std::move(shape.error()));
  statement_sql::Writer writer(*dialect, ascii_iequals(dialect_name, "mariadb"), models, shape->table_occurrences > 1);
  if (CompileStatus ok = writer.top(statement); !ok) return std::unexpected(std::move(ok.error()));
  return DispatchedQuery{writer.finish(), statement_kind_name(statement.kind)};
}

}  // namespace sarnic
