// The compile driver: every check an IR must pass before an emitter writes SQL.
#include "core/compile.hpp"

namespace sarnic {
namespace {

bool resolves(const ModelMetadata& metadata, const FieldRef& ref) { return ref.index < metadata.fields.size(); }

CompileStatus check_ref(const ModelMetadata& metadata, const FieldRef& ref) {
  if (resolves(metadata, ref)) return {};
  return std::unexpected(unknown_field(metadata.model_name, ref.name));
}

CompileStatus check_refs(const ModelMetadata& metadata, std::span<const FieldRef> refs) {
  for (const FieldRef& ref : refs) {
    if (auto ok = check_ref(metadata, ref); !ok) return ok;
  }
  return {};
}

CompileStatus check_assignments(const ModelMetadata& metadata, std::span<const Assignment> items) {
  for (const Assignment& item : items) {
    if (auto ok = check_ref(metadata, item.field); !ok) return ok;
  }
  return {};
}

enum class Truth : std::uint8_t { False, True, Depends };

// What a predicate is worth before any row is seen: empty groups render as
// (1 = 1) and (1 = 0), so a tree built from them alone can match every row.
Truth constant_truth(const Predicate& p, unsigned depth = 0) {
  if (depth > 4096) internal_fault("predicate nesting beyond the decoder limits");
  switch (p.kind) {
    case Predicate::Kind::Filter:
      return Truth::Depends;
    case Predicate::Kind::Not: {
      if (p.children().size() != 1) internal_fault("not predicate without exactly one child");
      Truth t = constant_truth(p.children()[0], depth + 1);
      return t == Truth::Depends ? t : (t == Truth::True ? Truth::False : Truth::True);
    }
    case Predicate::Kind::And:
    case Predicate::Kind::Or: {
      // And: one false child decides; Or: one true child decides.
      const Truth decisive = p.kind == Predicate::Kind::And ? Truth::False : Truth::True;
      Truth result = p.kind == Predicate::Kind::And ? Truth::True : Truth::False;
      for (const Predicate& child : p.children()) {
        Truth t = constant_truth(child, depth + 1);
        if (t == decisive) return decisive;
        if (t == Truth::Depends) result = Truth::Depends;
      }
      return result;
    }
  }
  return Truth::Depends;
}

// A mutation needs a scope: a filter, or a predicate that does not hold for
// every row whatever its values. A predicate made only of empty groups (say an
// "and" with no children) would otherwise update or delete the whole table
// without the danger flag.
bool is_scoped(const QuerySetIR& ir, bool danger) {
  if (danger || !ir.filters.empty()) return true;
  return ir.predicate && constant_truth(*ir.predicate) != Truth::True;
}

CompileStatus fail(const char* message) { return std::unexpected(malformed_ir(message)); }

// The emitter takes the column list from the first row and binds every row's
// values in its own order, so rows must name the same fields in the same order:
// equal counts alone would put values into other columns.
CompileStatus check_bulk_insert(const ModelMetadata& metadata, const BulkInsert& op) {
  if (op.rows.empty()) return fail("bulk_insert requires at least one row");
  const std::span<const Assignment> first = op.rows.front();
  for (const std::span<const Assignment> row : op.rows) {
    if (row.size() != first.size()) return fail("bulk_insert rows must share the same columns");
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (auto ok = check_ref(metadata, row[i].field); !ok) return ok;
      if (row[i].field.index != first[i].field.index) return fail("bulk_insert rows must share the same columns");
    }
  }
  return {};
}

CompileStatus check_bulk_update(const ModelMetadata& metadata, const BulkUpdate& op) {
  if (op.rows.empty()) return fail("bulk_update requires at least one row");
  if (op.fields.empty()) return fail("bulk_update requires at least one field");
  if (op.pk_fields.empty()) return fail("bulk_update requires at least one pk_field");
  if (auto ok = check_refs(metadata, op.pk_fields); !ok) return ok;
  if (auto ok = check_refs(metadata, op.fields); !ok) return ok;
  for (const BulkUpdateRow& row : op.rows) {
    if (row.values.size() != op.fields.size()) return fail("bulk_update row value count must match fields");
    if (row.pk_values.size() != op.pk_fields.size()) {
      return fail("bulk_update row pk_values count must match pk_fields");
    }
  }
  return {};
}

CompileStatus check_bulk_delete(const ModelMetadata& metadata, const BulkDelete& op) {
  if (op.ids.empty()) return fail("bulk_delete requires at least one id");
  if (op.pk_fields.empty()) return fail("bulk_delete requires at least one pk_field");
  return check_refs(metadata, op.pk_fields);
}

CompileStatus check_operation(const ModelMetadata& metadata, const QuerySetIR& ir) {
  const Operation& op = ir.operation;
  switch (operation_kind(op)) {
    case OperationKind::Select:
      return check_refs(metadata, std::get<Select>(op).fields);
    case OperationKind::Insert:
      return check_assignments(metadata, std::get<Insert>(op).values);
    case OperationKind::Update: {
      const Update& update = std::get<Update>(op);
      if (!is_scoped(ir, update.danger)) return std::unexpected(unscoped_mutation(metadata.model_name, "update"));
      // "UPDATE t SET  WHERE ..." is no statement in any dialect.
      if (update.assignments.empty()) return fail("update requires at least one assignment");
      return check_assignments(metadata, update.assignments);
    }
    case OperationKind::Delete:
      if (!is_scoped(ir, std::get<Delete>(op).danger)) {
        return std::unexpected(unscoped_mutation(metadata.model_name, "delete"));
      }
      return {};
    case OperationKind::BulkInsert:
      return check_bulk_insert(metadata, std::get<BulkInsert>(op));
    case OperationKind::BulkUpdate:
      return check_bulk_update(metadata, std::get<BulkUpdate>(op));
    case OperationKind::BulkDelete:
      return check_bulk_delete(metadata, std::get<BulkDelete>(op));
  }
  return {};
}

CompileStatus check_joins(const ModelMetadata& metadata, std::span<const JoinSpec> joins) {
  for (const JoinSpec& join : joins) {
    if (auto ok = check_ref(metadata, join.local_field); !ok) return ok;
    if (join.remote_table.empty() || join.alias.empty()) return fail("join spec missing remote_table or alias");
  }
  return {};
}

CompileStatus check_order_by(const ModelMetadata& metadata, std::span<const OrderBy> keys) {
  for (const OrderBy& key : keys) {
    if (auto ok = check_ref(metadata, key.field); !ok) return ok;
    switch (key.direction) {
      case SortDirection::Asc:
      case SortDirection::Desc:
        break;
      case SortDirection::Unknown:
        return std::unexpected(invalid_sort_direction(metadata.model_name, key.field.name));
    }
  }
  return {};
}

CompileStatus check_vector_order(const ModelMetadata& metadata, const VectorOrderBy& order) {
  if (auto ok = check_ref(metadata, order.field); !ok) return ok;
  if (metadata.fields[order.field.index].field_type != FieldType::Vector) {
    return std::unexpected(unsupported_operator(metadata.model_name, order.field.name, "nearest_to"));
  }
  if (!order.value.is(BindType::FloatArray) && !order.value.is(BindType::IntArray)) {
    return fail("vector_order_by.value must be float_array or int_array");
  }
  return {};
}

}  // namespace

CompileStatus compile(const ModelMetadata& metadata, const QuerySetIR& ir) {
  if (ir.version != SUPPORTED_IR_VERSION) return std::unexpected(unsupported_version(ir.version));
  if (auto ok = check_operation(metadata, ir); !ok) return ok;
  for (const Filter& filter : ir.filters) {
    if (auto ok = validate_filter(metadata, filter); !ok) return ok;
  }
  if (ir.predicate) {
    if (auto ok = validate_predicate(metadata, *ir.predicate); !ok) return ok;
  }
  if (auto ok = check_joins(metadata, ir.joins); !ok) return ok;
  if (auto ok = check_order_by(metadata, ir.order_by); !ok) return ok;
  if (ir.vector_order_by) {
    if (auto ok = check_vector_order(metadata, *ir.vector_order_by); !ok) return ok;
  }
  return validate_text_search(metadata, ir);
}

}  // namespace sarnic
