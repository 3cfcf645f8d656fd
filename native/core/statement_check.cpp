#include "core/statement_check.hpp"

#include <cstdint>
#include <string>

#include "core/compile.hpp"

namespace sarnic {
namespace {

//! Where a check stands in the document, as a chain up to the root; rendered
//! only when a check fails.
struct Place {
  const Place* parent = nullptr;
  std::string_view key;
  std::int64_t index = -1;

  Place at(std::string_view k) const { return {this, k, -1}; }
  Place item(std::string_view k, std::size_t i) const { return {this, k, static_cast<std::int64_t>(i)}; }
};

[[gnu::cold]] void render(const Place* p, std::string& out) {
  if (p == nullptr) return;
  render(p->parent, out);
  if (!out.empty()) out.push_back('.');
  out.append(p->key);
  if (p->index >= 0) {
    out.push_back('[');
    out.append(std::to_string(p->index));
    out.push_back(']');
  }
}

[[gnu::cold]] CompileStatus fail(const Place& place, std::string_view message) {
  std::string text;
  render(&place, text);
  text.append(": ");
  text.append(message);
  return std::unexpected(malformed_ir(std::move(text)));
}

struct Scope {
  const Statement* statement;
  const Scope* parent;
  std::size_t sources() const { return 1 + statement->joins.size(); }
};

struct Context {
  bool excluded = false;  //!< inside an on_conflict update: excluded(f) may appear
  bool columns = true;    //!< columns of the statement's own tables may appear (not in INSERT values)
};

enum class Truth : std::uint8_t { False, True, Depends };

// Empty groups render as (1 = 1) and (1 = 0): a condition built only of them
// scopes nothing, so an update or delete under it still needs danger.
Truth constant_truth(const Expr& e) {
  if (e.kind == Expr::Kind::Unary && e.unary() == UnaryOp::Not) {
    Truth t = constant_truth(e.children[0]);
    return t == Truth::Depends ? t : (t == Truth::True ? Truth::False : Truth::True);
  }
  if (e.kind != Expr::Kind::And && e.kind != Expr::Kind::Or) return Truth::Depends;
  const Truth decisive = e.kind == Expr::Kind::And ? Truth::False : Truth::True;
  Truth result = e.kind == Expr::Kind::And ? Truth::True : Truth::False;
  for (const Expr& child : e.children) {
    Truth t = constant_truth(child);
    if (t == decisive) return decisive;
    if (t == Truth::Depends) result = Truth::Depends;
  }
  return result;
}

// Joins match on the joined model's key and MySQL's DO NOTHING assigns the
// statement model's key, so a key position outside the fields is the caller's
// error here, reported before anything is written.
CompileStatus key_in_range(const ModelMetadata& model, const Place& place) {
  for (std::uint64_t position : model.effective_pk_fields()) {
    if (position >= model.fields.size()) {
      return fail(place, "the primary key of " + std::string(model.model_name) + " names field " +
                             std::to_string(position) + ", past its " + std::to_string(model.fields.size()) + " fields");
    }
  }
  return {};
}

class Checker {
 public:
  explicit Checker(std::span<const ModelMetadata> models) : models_(models) {}

  CompileStatus statement(const Statement& st, const Scope* parent, const Place& place);
  std::size_t tables = 0;

 private:
  CompileStatus expr(const Expr& e, const Scope& scope, const Place& place, Context ctx);
  CompileStatus exprs(std::span<const Expr> list, const Scope& scope, const Place& place, std::string_view key,
                      Context ctx);
  CompileStatus nested(const Statement* st, const Scope& scope, const Place& place, bool one_item);
  CompileStatus field_of(const ModelMetadata& model, std::uint64_t field, const Place& place);
  CompileStatus columns(const ModelMetadata& model, std::span<const std::uint64_t> fields, const Place& place,
                        std::string_view key);
  CompileStatus assignments(const ModelMetadata& model, std::span<const ColumnValue> list, const Scope& scope,
                            const Place& place, std::string_view key, Context ctx);
  CompileStatus on_conflict(const ModelMetadata& model, const OnConflict& conflict, const Scope& scope,
                            const Place& place);
  CompileStatus bulk_rows(const ModelMetadata& model, const Statement& st, const Place& place);
  CompileStatus reads_only(const Statement& st, const Place& place);
  CompileStatus bulk_updates(const ModelMetadata& model, const Statement& st, const Place& place);
  const ModelMetadata* resolve(const Expr& e, const Scope& scope, const Place& place, CompileStatus& status);

  std::span<const ModelMetadata> models_;
};

CompileStatus Checker::field_of(const ModelMetadata& model, std::uint64_t field, const Place& place) {
  if (field < model.fields.size()) return {};
  return fail(place, "field " + std::to_string(field) + " is not a field of model " + std::string(model.model_name) +
                         " (" + std::to_string(model.fields.size()) + " fields)");
}

CompileStatus Checker::columns(const ModelMetadata& model, std::span<const std::uint64_t> fields, const Place& place,
                               std::string_view key) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (auto ok = field_of(model, fields[i], place.item(key, i)); !ok) return ok;
  }
  return {};
}

const ModelMetadata* Checker::resolve(const Expr& e, const Scope& scope, const Place& place, CompileStatus& status) {
  const Scope* s = &scope;
  for (std::uint32_t level = 0; level < e.up; ++level) {
    s = s->parent;
    if (s == nullptr) {
      status = fail(place, "up " + std::to_string(e.up) + " goes beyond the outermost statement");
      return nullptr;
    }
  }
  if (e.source >= s->sources()) {
    status = fail(place, "source " + std::to_string(e.source) + " is not a table of that statement (" +
                             std::to_string(s->sources()) + " tables)");
    return nullptr;
  }
  return &models_[source_model(*s->statement, e.source)];
}

CompileStatus Checker::exprs(std::span<const Expr> list, const Scope& scope, const Place& place, std::string_view key,
                             Context ctx) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (auto ok = expr(list[i], scope, place.item(key, i), ctx); !ok) return ok;
  }
  return {};
}

CompileStatus Checker::nested(const Statement* st, const Scope& scope, const Place& place, bool one_item) {
  if (st == nullptr) return fail(place, "a subquery is required");
  if (!st->reads()) return fail(place, "a subquery must be a select or values statement");
  if (one_item && (st->kind != StatementKind::Values || st->items.size() != 1)) {
    return fail(place, "the subquery must be a values statement of exactly one item");
  }
  if (st->lock) return fail(place.at("lock"), "a row lock belongs to the outermost statement");
  if (st->exists) return fail(place.at("exists"), "a subquery cannot be an exists form");
  return statement(*st, &scope, place);
}

CompileStatus Checker::expr(const Expr& e, const Scope& scope, const Place& place, Context ctx) {
  switch (e.kind) {
    case Expr::Kind::Field:
    case Expr::Kind::Filter: {
      if (!ctx.columns && e.up == 0) return fail(place, "an inserted value cannot read a column");
      CompileStatus status;
      const ModelMetadata* model = resolve(e, scope, place, status);
      if (model == nullptr) return status;
      if (e.kind == Expr::Kind::Field) return field_of(*model, e.field, place.at("field"));
      if (auto ok = validate_filter(*model, e.filter); !ok) return ok;
      QuerySetIR probe;
      probe.filters = {&e.filter, 1};
      return validate_text_search(*model, probe);
    }
    case Expr::Kind::Value:
      return {};
    case Expr::Kind::Binary:
      if (auto ok = expr(e.children[0], scope, place.at("left"), ctx); !ok) return ok;
      return expr(e.children[1], scope, place.at("right"), ctx);
    case Expr::Kind::Like:
      if (auto ok = expr(e.children[0], scope, place.at("operand"), ctx); !ok) return ok;
      return expr(e.children[1], scope, place.at("pattern"), ctx);
    case Expr::Kind::Unary:
      return expr(e.children[0], scope, place.at("operand"), ctx);
    case Expr::Kind::And:
    case Expr::Kind::Or:
      return exprs(e.children, scope, place, "children", ctx);
    case Expr::Kind::Func: {
      const std::size_t n = e.children.size();
      switch (e.function()) {
        case Function::Count:
          if (n > 1) return fail(place, "count takes no argument or one");
          if (e.distinct && n == 0) return fail(place, "count(distinct) needs an argument");
          break;
        case Function::Coalesce:
          if (n < 2) return fail(place, "coalesce takes two arguments or more");
          break;
        case Function::Sum:
        case Function::Avg:
        case Function::Min:
        case Function::Max:
        case Function::Lower:
        case Function::Upper:
        case Function::Length:
          if (n != 1) return fail(place, "the function takes exactly one argument");
          break;
      }
      if (e.distinct && e.function() != Function::Count && e.function() != Function::Sum &&
          e.function() != Function::Avg) {
        return fail(place, "distinct applies to count, sum and avg only");
      }
      return exprs(e.children, scope, place, "args", ctx);
    }
    case Expr::Kind::In:
      if (auto ok = expr(e.children[0], scope, place.at("operand"), ctx); !ok) return ok;
      if (e.value.has_value() == (e.query != nullptr)) return fail(place, "in takes either values or a query");
      if (e.value) {
        if (!e.value->is(BindType::IntArray) && !e.value->is(BindType::TextArray) &&
            !e.value->is(BindType::FloatArray)) {
          return fail(place.at("values"), "the list must be an int_array, text_array or float_array");
        }
        return {};
      }
      return nested(e.query, scope, place.at("query"), true);
    case Expr::Kind::Exists:
      return nested(e.query, scope, place.at("query"), false);
    case Expr::Kind::Subquery:
      return nested(e.query, scope, place.at("query"), true);
    case Expr::Kind::Excluded:
      if (!ctx.excluded) return fail(place, "excluded belongs to an on_conflict update");
      return field_of(models_[scope.statement->model], e.field, place.at("field"));
  }
  return {};
}

CompileStatus Checker::assignments(const ModelMetadata& model, std::span<const ColumnValue> list, const Scope& scope,
                                   const Place& place, std::string_view key, Context ctx) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    const Place entry = place.item(key, i);
    if (auto ok = field_of(model, list[i].field, entry); !ok) return ok;
    if (auto ok = expr(list[i].value, scope, entry, ctx); !ok) return ok;
  }
  return {};
}

CompileStatus Checker::on_conflict(const ModelMetadata& model, const OnConflict& conflict, const Scope& scope,
                                   const Place& place) {
  if (auto ok = columns(model, conflict.target, place, "target"); !ok) return ok;
  if (!conflict.update) return {};
  if (conflict.target.empty()) return fail(place.at("target"), "an update on conflict needs a conflict target");
  if (conflict.update->empty()) return fail(place.at("update"), "an update on conflict needs at least one assignment");
  return assignments(model, *conflict.update, scope, place, "update", Context{true, true});
}

// Every row must name the same fields in the same order: the column list is
// the first row's.
CompileStatus Checker::bulk_rows(const ModelMetadata& model, const Statement& st, const Place& place) {
  if (st.rows.empty()) return fail(place.at("rows"), "bulk_insert requires at least one row");
  const auto first = st.rows.front();
  for (std::size_t r = 0; r < st.rows.size(); ++r) {
    const auto row = st.rows[r];
    const Place at_row = place.item("rows", r);
    if (row.size() != first.size()) return fail(at_row, "bulk_insert rows must share the same columns");
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (auto ok = field_of(model, row[i].field, at_row.item("values", i)); !ok) return ok;
      if (row[i].field != first[i].field) return fail(at_row, "bulk_insert rows must share the same columns");
    }
  }
  return {};
}

CompileStatus Checker::bulk_updates(const ModelMetadata& model, const Statement& st, const Place& place) {
  if (st.key_fields.empty()) return fail(place.at("pk_fields"), "bulk_update requires at least one pk_field");
  if (st.fields.empty()) return fail(place.at("fields"), "bulk_update requires at least one field");
  if (st.updates.empty()) return fail(place.at("rows"), "bulk_update requires at least one row");
  if (auto ok = columns(model, st.key_fields, place, "pk_fields"); !ok) return ok;
  if (auto ok = columns(model, st.fields, place, "fields"); !ok) return ok;
  for (std::size_t r = 0; r < st.updates.size(); ++r) {
    if (st.updates[r].pk_values.size() != st.key_fields.size() || st.updates[r].values.size() != st.fields.size()) {
      return fail(place.item("rows", r), "a row must give one value per pk_field and per field");
    }
  }
  return {};
}

CompileStatus Checker::reads_only(const Statement& st, const Place& place) {
  if (st.reads()) return {};
  if (!st.joins.empty()) return fail(place.at("joins"), "joins belong to select and values statements");
  if (!st.group_by.empty() || st.having) return fail(place.at("group_by"), "grouping belongs to select and values statements");
  if (!st.order_by.empty() || st.limit || st.offset || st.vector_order_by || st.text_rank_by) {
    return fail(place.at("order_by"), "ordering and paging belong to select and values statements");
  }
  if (st.distinct || st.exists) return fail(place.at("distinct"), "distinct and exists belong to select and values statements");
  if (st.lock) return fail(place.at("lock"), "row locks belong to select and values statements");
  return {};
}

CompileStatus Checker::statement(const Statement& st, const Scope* parent, const Place& place) {
  if (st.model >= models_.size()) {
    return fail(place.at("model"), "model " + std::to_string(st.model) + " is not in the model list (" +
                                       std::to_string(models_.size()) + " models)");
  }
  const ModelMetadata& model = models_[st.model];
  if (auto ok = key_in_range(model, place.at("model")); !ok) return ok;
  if (auto ok = reads_only(st, place); !ok) return ok;
  for (std::size_t i = 0; i < st.joins.size(); ++i) {
    const StatementJoin& join = st.joins[i];
    const Place at_join = place.item("joins", i);
    if (join.model >= models_.size()) return fail(at_join.at("model"), "the joined model is not in the model list");
    if (auto ok = key_in_range(models_[join.model], at_join.at("model")); !ok) return ok;
    if (auto ok = field_of(model, join.local_field, at_join.at("local_field")); !ok) return ok;
    if (auto ok = columns(models_[join.model], join.fields, at_join, "fields"); !ok) return ok;
    if (join.name.empty()) return fail(at_join.at("name"), "a join needs a name");
  }
  tables += 1 + st.joins.size();
  const Scope scope{&st, parent};
  const Place op = place.at("operation");
  switch (st.kind) {
    case StatementKind::Select:
      if (auto ok = columns(model, st.fields, op, "fields"); !ok) return ok;
      break;
    case StatementKind::Values:
      if (st.items.empty()) return fail(op.at("items"), "a values statement needs at least one item");
      if (auto ok = exprs(st.items, scope, op, "items", {}); !ok) return ok;
      break;
    case StatementKind::Insert:
      if (auto ok = assignments(model, st.assignments, scope, op, "values", Context{false, false}); !ok) return ok;
      if (st.on_conflict) {
        if (auto ok = on_conflict(model, *st.on_conflict, scope, op.at("on_conflict")); !ok) return ok;
      }
      break;
    case StatementKind::BulkInsert:
      if (auto ok = bulk_rows(model, st, op); !ok) return ok;
      if (st.on_conflict) {
        if (auto ok = on_conflict(model, *st.on_conflict, scope, op.at("on_conflict")); !ok) return ok;
      }
      break;
    case StatementKind::BulkUpdate:
      if (auto ok = bulk_updates(model, st, op); !ok) return ok;
      break;
    case StatementKind::Update:
      if (st.assignments.empty()) return fail(op.at("assignments"), "update requires at least one assignment");
      if (auto ok = assignments(model, st.assignments, scope, op, "assignments", {}); !ok) return ok;
      [[fallthrough]];
    case StatementKind::Delete:
      if (st.kind == StatementKind::Delete && st.returning.value_or(false)) {
        return fail(op.at("returning"), "a delete hands no rows back: returning may only be false");
      }
      if (!st.danger && (st.where == nullptr || constant_truth(*st.where) == Truth::True)) {
        return std::unexpected(unscoped_mutation(model.model_name, statement_kind_name(st.kind)));
      }
      break;
  }
  if (st.where) {
    if (auto ok = expr(*st.where, scope, place.at("where"), {}); !ok) return ok;
  }
  if (auto ok = exprs(st.group_by, scope, place, "group_by", {}); !ok) return ok;
  if (st.having) {
    if (auto ok = expr(*st.having, scope, place.at("having"), {}); !ok) return ok;
  }
  for (std::size_t i = 0; i < st.order_by.size(); ++i) {
    const Place key = place.item("order_by", i);
    if (st.order_by[i].direction == SortDirection::Unknown) return fail(key.at("direction"), "direction must be asc or desc");
    if (auto ok = expr(st.order_by[i].expr, scope, key.at("expr"), {}); !ok) return ok;
  }
  if (st.lock) {
    if (st.exists) return fail(place.at("lock"), "an exists form takes no row lock");
    if (st.lock->skip_locked && st.lock->nowait) return fail(place.at("lock"), "skip_locked and nowait exclude each other");
    for (std::size_t i = 0; i < st.lock->of.size(); ++i) {
      if (st.lock->of[i] >= scope.sources()) return fail(place.at("lock").item("of", i), "not a table of the statement");
    }
  }
  if (st.vector_order_by) {
    const VectorOrderBy& v = *st.vector_order_by;
    if (auto ok = field_of(model, v.field.index, place.at("vector_order_by")); !ok) return ok;
    if (model.fields[v.field.index].field_type != FieldType::Vector) {
      return std::unexpected(unsupported_operator(model.model_name, v.field.name, "nearest_to"));
    }
    if (!v.value.is(BindType::FloatArray) && !v.value.is(BindType::IntArray)) {
      return fail(place.at("vector_order_by"), "the value must be float_array or int_array");
    }
  }
  if (st.text_rank_by) {
    QuerySetIR probe;
    probe.text_rank_by = st.text_rank_by;
    if (auto ok = validate_text_search(model, probe); !ok) return ok;
  }
  return {};
}

}  // namespace

CompileResult<StatementShape> check_statement(std::span<const ModelMetadata> models, const Statement& statement) {
  if (statement.version != STATEMENT_IR_VERSION) {
    return std::unexpected(unsupported_version(statement.version, STATEMENT_IR_VERSION));
  }
  Checker checker(models);
  const Place root{nullptr, "statement", -1};
  if (auto ok = checker.statement(statement, nullptr, root); !ok) return std::unexpected(std::move(ok.error()));
  return StatementShape{checker.tables};
}

}  // namespace sarnic
