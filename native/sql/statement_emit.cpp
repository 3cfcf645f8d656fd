#include "sql/statement_emit.hpp"

#include <string>
#include <utility>
#include <vector>

#include "core/arena.hpp"
#include "core/compile.hpp"
#include "core/statement_check.hpp"
#include "sql/fts/fts.hpp"
#include "sql/order.hpp"
#include "sql/where.hpp"

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

// The element type a list is cast to on PostgreSQL, so that a typed array
// compares with the column (uuid = uuid, not uuid = text).
std::string_view pg_element_type(FieldType type) {
  switch (type) {
    case FieldType::Int:
    case FieldType::BigInt: return "bigint";
    case FieldType::Float: return "double precision";
    case FieldType::Decimal: return "numeric";
    case FieldType::Bool: return "boolean";
    case FieldType::Datetime: return "timestamptz";
    case FieldType::Date: return "date";
    case FieldType::Time: return "time";
    case FieldType::Uuid: return "uuid";
    case FieldType::Json: return "jsonb";
    case FieldType::Bytes: return "bytea";
    case FieldType::Text:
    case FieldType::Enum:
    case FieldType::Vector:
    case FieldType::TsVector:
    case FieldType::ArrayText:
    case FieldType::ArrayInt:
    case FieldType::ArrayUuid:
    case FieldType::ArrayFloat: return "text";
  }
  return "text";
}

std::string_view pg_list_type(BindType type) {
  switch (type) {
    case BindType::IntArray: return "bigint";
    case BindType::FloatArray: return "double precision";
    default: return "text";
  }
}

struct Scope {
  const Statement* statement = nullptr;
  const Scope* parent = nullptr;
  std::vector<std::string> names;  //!< per source: the quoted name columns are qualified with
  bool qualify = false;
};

class Writer {
 public:
  Writer(Dialect dialect, bool mariadb, std::span<const ModelMetadata> models, bool qualify)
      : dialect_(dialect), mariadb_(mariadb), models_(models), qualify_(qualify) {}

  CompileStatus top(const Statement& st);
  CompiledQuery finish() {
    CompiledQuery result;
    result.fingerprint = fingerprint(out_);
    result.sql_text = std::move(out_);
    result.bound_params = std::move(params_.values);
    result.param_type_summary = std::move(params_.labels);
    return result;
  }

 private:
  enum class Items : std::uint8_t { Own, One };

  CompileStatus read(const Statement& st, const Scope* parent, Items items, bool top);
  CompileStatus insert(const Statement& st);
  CompileStatus bulk_insert(const Statement& st);
  CompileStatus update(const Statement& st);
  CompileStatus remove(const Statement& st);
  CompileStatus conflict_clause(const Statement& st, const Scope& scope);
  void returning(const ModelMetadata& model);
  void output_inserted(const ModelMetadata& model);
  CompileStatus expr(const Expr& e, const Scope& scope);
  CompileStatus exprs(std::span<const Expr> list, const Scope& scope, std::string_view separator);
  CompileStatus in_list(const Expr& e, const Scope& scope);
  CompileStatus subquery(const Statement& st, const Scope& scope, Items items);
  CompileStatus filter(const Expr& e, const Scope& scope);
  CompileStatus like(const Expr& e, const Scope& scope);
  CompileStatus bulk_update(const Statement& st);
  void key_match(const Statement& st, const BulkUpdateRow& row);
  CompileStatus where(const Statement& st, const Scope& scope);
  void function(const Expr& e);
  void column(const Scope& scope, std::uint32_t source, std::uint64_t field);
  void table(Scope& scope, std::uint64_t model, bool locked_hint);
  void lock_hint(const Statement& st);
  void lock_clause(const Statement& st, const Scope& scope);
  const Scope& outer(const Scope& scope, std::uint32_t up) const {
    const Scope* s = &scope;
    for (std::uint32_t i = 0; i < up; ++i) s = s->parent;
    return *s;
  }

  Dialect dialect_;
  bool mariadb_;
  std::span<const ModelMetadata> models_;
  bool qualify_;
  std::string out_;
  Params params_;
  std::vector<std::pair<std::string_view, unsigned>> uses_;
  Arena arena_;
};

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

void Writer::column(const Scope& scope, std::uint32_t source, std::uint64_t field) {
  const Statement& st = *scope.statement;
  const FieldMeta& meta = field_at(models_[source_model(st, source)], field);
  if (scope.qualify) {
    out_ += scope.names[source];
    out_ += '.';
  }
  append_quoted(out_, dialect_, meta.column_name);
}

void Writer::function(const Expr& e) {
  switch (e.function()) {
    case Function::Count: out_ += "COUNT("; break;
    case Function::Sum: out_ += "SUM("; break;
    case Function::Avg: out_ += "AVG("; break;
    case Function::Min: out_ += "MIN("; break;
    case Function::Max: out_ += "MAX("; break;
    case Function::Coalesce: out_ += "COALESCE("; break;
    case Function::Lower: out_ += "LOWER("; break;
    case Function::Upper: out_ += "UPPER("; break;
    case Function::Length:
      // MySQL's LENGTH counts bytes; characters are what the other engines count.
      out_ += dialect_.kind == Dialect::MySql ? "CHAR_LENGTH(" : dialect_.kind == Dialect::Mssql ? "LEN(" : "LENGTH(";
      break;
  }
  if (e.distinct) out_ += "DISTINCT ";
}

CompileStatus Writer::exprs(std::span<const Expr> list, const Scope& scope, std::string_view separator) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i != 0) out_ += separator;
    if (auto ok = expr(list[i], scope); !ok) return ok;
  }
  return {};
}

CompileStatus Writer::filter(const Expr& e, const Scope& scope) {
  const Scope& owner = outer(scope, e.up);
  const ModelMetadata& model = models_[source_model(*owner.statement, e.source)];
  const FieldMeta& meta = field_at(model, e.filter.field.index);
  ColumnRef ref{owner.names[e.source], meta.column_name, owner.qualify};
  if (std::optional<fts::MatchOperator> match = fts::parse_match_operator(e.filter.op)) {
    params_.bind(fts::emit_field_match(out_, dialect_, model, e.filter.field.index, ref, *match,
                                       params_.next_number(), e.filter.value),
                 ParamLabel::of_field(e.filter.field.name, e.filter.op));
    return {};
  }
  if (std::optional<BindValue> bound = filter_clause(out_, dialect_, model, e.filter.field.index, ref, e.filter.op,
                                                     params_.next_number(), e.filter.value)) {
    params_.bind(*bound, ParamLabel::of_field(e.filter.field.name, e.filter.op));
  }
  return {};
}

CompileStatus Writer::in_list(const Expr& e, const Scope& scope) {
  const Expr& operand = e.children[0];
  const BindValue& list = *e.value;
  std::size_t n = 0;
  switch (list.type()) {
    case BindType::IntArray: n = list.as_int_array().size(); break;
    case BindType::TextArray: n = list.as_text_array().size(); break;
    case BindType::FloatArray: n = list.as_float_array().size(); break;
    default: break;
  }
  // MySQL gets one placeholder per element, so an empty list must not reach
  // "IN ()": it is the constant it stands for, whatever the operand.
  if (n == 0 && dialect_.kind == Dialect::MySql) {
    out_ += e.negated ? "1 = 1" : "1 = 0";
    return {};
  }
  if (auto ok = expr(operand, scope); !ok) return ok;
  switch (dialect_.kind) {
    case Dialect::Postgres: {
      // One typed array: the text is the same for any length, and no list
      // reaches the protocol's parameter limit.
      std::string_view element = pg_list_type(list.type());
      if (operand.kind == Expr::Kind::Field) {
        const Scope& owner = outer(scope, operand.up);
        element = pg_element_type(
            field_at(models_[source_model(*owner.statement, operand.source)], operand.field).field_type);
      }
      out_ += e.negated ? " <> ALL(" : " = ANY(";
      append_placeholder(out_, dialect_, params_.next_number());
      params_.bind(list, ParamLabel::whole(e.label));
      out_ += "::";
      out_ += element;
      out_ += "[])";
      return {};
    }
    case Dialect::Sqlite:
      // The layer binds the list as one JSON array.
      out_ += e.negated ? " NOT IN (SELECT value FROM json_each(" : " IN (SELECT value FROM json_each(";
      append_placeholder(out_, dialect_, params_.next_number());
      params_.bind(list, ParamLabel::whole(e.label));
      out_ += "))";
      return {};
    case Dialect::Mssql:
      out_ += e.negated ? " NOT IN (SELECT value FROM OPENJSON(" : " IN (SELECT value FROM OPENJSON(";
      append_placeholder(out_, dialect_, params_.next_number());
      params_.bind(list, ParamLabel::whole(e.label));
      out_ += "))";
      return {};
    case Dialect::MySql:
      break;
  }
  // MySQL: one placeholder per element; the driver interpolates them, so no
  // list reaches a parameter limit.
  out_ += e.negated ? " NOT IN (" : " IN (";
  params_.reserve(params_.values.size() + n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i != 0) out_ += ", ";
    append_placeholder(out_, dialect_, params_.next_number());
    BindValue item;
    switch (list.type()) {
      case BindType::IntArray: item = BindValue::integer(list.as_int_array()[i]); break;
      case BindType::TextArray: item = BindValue::text(list.as_text_array()[i]); break;
      case BindType::FloatArray: item = BindValue::number(list.as_float_array()[i]); break;
      default: break;
    }
    params_.bind(item, ParamLabel::whole(e.label));
  }
  out_ += ')';
  return {};
}

CompileStatus Writer::subquery(const Statement& st, const Scope& scope, Items items) {
  out_ += '(';
  if (auto ok = read(st, &scope, items, false); !ok) return ok;
  out_ += ')';
  return {};
}

CompileStatus Writer::expr(const Expr& e, const Scope& scope) {
  switch (e.kind) {
    case Expr::Kind::Field: {
      const Scope& owner = outer(scope, e.up);
      column(owner, e.source, e.field);
      return {};
    }
    case Expr::Kind::Value:
      append_placeholder(out_, dialect_, params_.next_number());
      params_.bind(*e.value, ParamLabel::whole(e.label));
      return {};
    case Expr::Kind::Binary: {
      static constexpr std::string_view kOps[] = {" + ", " - ", " * ", " / ", " = ", " <> ", " < ", " <= ", " > ", " >= "};
      const bool arithmetic = e.binary() <= BinaryOp::Div;
      if (arithmetic) out_ += '(';
      if (auto ok = expr(e.children[0], scope); !ok) return ok;
      out_ += kOps[e.op];
      if (auto ok = expr(e.children[1], scope); !ok) return ok;
      if (arithmetic) out_ += ')';
      return {};
    }
    case Expr::Kind::Unary:
      switch (e.unary()) {
        case UnaryOp::Neg:
          out_ += "(-";
          if (auto ok = expr(e.children[0], scope); !ok) return ok;
          out_ += ')';
          return {};
        case UnaryOp::Not:
          out_ += "NOT (";
          if (auto ok = expr(e.children[0], scope); !ok) return ok;
          out_ += ')';
          return {};
        case UnaryOp::IsNull:
        case UnaryOp::IsNotNull:
          if (auto ok = expr(e.children[0], scope); !ok) return ok;
          out_ += e.unary() == UnaryOp::IsNull ? " IS NULL" : " IS NOT NULL";
          return {};
      }
      return {};
    case Expr::Kind::And:
    case Expr::Kind::Or: {
      const bool conj = e.kind == Expr::Kind::And;
      // An empty group is the neutral element of its connective, not "()".
      if (e.children.empty()) {
        out_ += conj ? "(1 = 1)" : "(1 = 0)";
        return {};
      }
      out_ += '(';
      if (auto ok = exprs(e.children, scope, conj ? " AND " : " OR "); !ok) return ok;
      out_ += ')';
      return {};
    }
    case Expr::Kind::Func:
      function(e);
      if (e.children.empty()) {
        out_ += '*';
      } else if (auto ok = exprs(e.children, scope, ", "); !ok) {
        return ok;
      }
      out_ += ')';
      return {};
    case Expr::Kind::In:
      if (e.value) {
        out_ += '(';
        if (auto ok = in_list(e, scope); !ok) return ok;
        out_ += ')';
        return {};
      }
      if (auto ok = expr(e.children[0], scope); !ok) return ok;
      out_ += e.negated ? " NOT IN " : " IN ";
      return subquery(*e.query, scope, Items::Own);
    case Expr::Kind::Exists:
      out_ += "EXISTS ";
      return subquery(*e.query, scope, Items::One);
    case Expr::Kind::Subquery:
      return subquery(*e.query, scope, Items::Own);
    case Expr::Kind::Excluded: {
      const std::string_view name = field_at(models_[scope.statement->model], e.field).column_name;
      if (dialect_.kind == Dialect::MySql) {
        out_ += "VALUES(";
        append_quoted(out_, dialect_, name);
        out_ += ')';
      } else {
        out_ += "EXCLUDED.";
        append_quoted(out_, dialect_, name);
      }
      return {};
    }
    case Expr::Kind::Filter:
      return filter(e, scope);
    case Expr::Kind::Like:
      return like(e, scope);
  }
  return {};
}

// LIKE that means one thing everywhere: case kept unless folded, folding by
// Unicode rules, backslash as the escape character. The engines differ in
// what their plain LIKE does with case, so each gets the form that keeps it.
CompileStatus Writer::like(const Expr& e, const Scope& scope) {
  const bool fold = e.fold;
  std::string_view fold_open = "LOWER(";
  std::string_view pattern_close = ")";
  std::string_view tail = " ESCAPE '\\'";
  switch (dialect_.kind) {
    case Dialect::Postgres:
      break;
    case Dialect::Sqlite:
      // lower() folds ASCII only; the layer's connections provide a Unicode
      // fold, and run with case-sensitive LIKE.
      fold_open = "sarnic_fold(";
      break;
    case Dialect::MySql:
      // The default collations ignore case (and some accents): compare bytes
      // of the folded or kept text. Backslash is MySQL's escape already.
      pattern_close = ") COLLATE utf8mb4_bin";
      tail = {};
      break;
    case Dialect::Mssql:
      if (!fold) pattern_close = ") COLLATE Latin1_General_CS_AS";
      break;
  }
  if (fold) out_ += fold_open;
  if (auto ok = expr(e.children[0], scope); !ok) return ok;
  if (fold) out_ += ')';
  out_ += " LIKE ";
  out_ += fold ? fold_open : std::string_view("(");
  if (auto ok = expr(e.children[1], scope); !ok) return ok;
  out_ += pattern_close;
  out_ += tail;
  return {};
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

void Writer::output_inserted(const ModelMetadata& model) {
  if (dialect_.traits().write_return != WriteReturn::OutputInserted) return;
  out_ += " OUTPUT ";
  output_inserted_fields(out_, dialect_, model.fields);
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
  if (st.assignments.empty() && dialect_.kind != Dialect::MySql) {
    output_inserted(model);
    out_ += " DEFAULT VALUES";
  } else {
    out_ += " (";
    for (std::size_t i = 0; i < st.assignments.size(); ++i) {
      if (i != 0) out_ += ", ";
      append_quoted(out_, dialect_, field_at(model, st.assignments[i].field).column_name);
    }
    out_ += ')';
    output_inserted(model);
    out_ += " VALUES (";
    for (std::size_t i = 0; i < st.assignments.size(); ++i) {
      if (i != 0) out_ += ", ";
      if (auto ok = expr(st.assignments[i].value, scope); !ok) return ok;
    }
    out_ += ')';
  }
  if (auto ok = conflict_clause(st, scope); !ok) return ok;
  returning(model);
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
  if (st.returning) output_inserted(model);
  out_ += " VALUES ";
  params_.reserve(st.rows.size() * first.size());
  for (std::size_t r = 0; r < st.rows.size(); ++r) {
    if (r != 0) out_ += ", ";
    out_ += '(';
    const auto row = st.rows[r];
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i != 0) out_ += ", ";
      append_placeholder(out_, dialect_, params_.next_number());
      params_.bind(row[i].value, ParamLabel::of_field(field_at(model, row[i].field).name, "bulk_insert"));
    }
    out_ += ')';
  }
  if (auto ok = conflict_clause(st, scope); !ok) return ok;
  if (st.returning) returning(model);
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
  output_inserted(model);
  if (auto ok = where(st, scope); !ok) return ok;
  // As the version-3 update: the changed rows come back where the dialect can say so.
  if (dialect_.traits().write_return == WriteReturn::Returning) {
    out_ += " RETURNING ";
    returning_all_fields(out_, dialect_, model.fields);
  }
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
    append_placeholder(out_, dialect_, params_.next_number());
    params_.bind(row.pk_values[k], ParamLabel::of_field(key.name, "bulk_update_pk"));
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
      append_placeholder(out_, dialect_, params_.next_number());
      params_.bind(row.values[f], ParamLabel::of_field(field.name, "bulk_update"));
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
      append_placeholder(out_, dialect_, params_.next_number());
      params_.bind(st.updates[r].pk_values[0], ParamLabel::of_field(key.name, "bulk_update_pk"));
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

}  // namespace

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
  Writer writer(*dialect, ascii_iequals(dialect_name, "mariadb"), models, shape->table_occurrences > 1);
  if (CompileStatus ok = writer.top(statement); !ok) return std::unexpected(std::move(ok.error()));
  return DispatchedQuery{writer.finish(), statement_kind_name(statement.kind)};
}

}  // namespace sarnic
