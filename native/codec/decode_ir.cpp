// QuerySetIR and its records. Every record reads in map or array form through
// the shared walker; the per-record code only says where each field goes.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "codec/decode_records.hpp"

namespace sarnic::codec::detail {

namespace {

constexpr std::string_view kQueryKeys[] = {"version",         "model_name",   "operation", "filters",
                                           "order_by",        "limit",        "offset",    "vector_order_by",
                                           "text_rank_by",    "predicate",    "distinct",  "exists",
                                           "joins"};
constexpr std::string_view kFieldRefKeys[] = {"name", "index"};
constexpr std::string_view kFilterKeys[] = {"field", "operator", "value"};
constexpr std::string_view kJoinSpecKeys[] = {"relation",     "alias",           "local_field",
                                              "remote_table", "remote_pk_column", "remote_fields"};
constexpr std::string_view kJoinFieldRefKeys[] = {"index", "name", "column"};
constexpr std::string_view kOrderByKeys[] = {"field", "direction"};
constexpr std::string_view kVectorOrderByKeys[] = {"field", "metric", "value"};
constexpr std::string_view kTextRankByKeys[] = {"field", "query", "mode"};
constexpr std::string_view kBulkUpdateRowKeys[] = {"pk_values", "values"};

// The array form of QuerySetIR must give "limit" and "offset" too (null allowed).
constexpr RecordShape kQuery{"struct QuerySetIR", kQueryKeys, 7, all_of(5)};
constexpr RecordShape kFieldRef{"struct FieldRef", kFieldRefKeys, 2, all_of(2)};
constexpr RecordShape kFilter{"struct Filter", kFilterKeys, 3, all_of(3)};
constexpr RecordShape kJoinSpec{"struct JoinSpec", kJoinSpecKeys, 6, all_of(6)};
constexpr RecordShape kJoinFieldRef{"struct JoinFieldRef", kJoinFieldRefKeys, 3, all_of(3)};
constexpr RecordShape kOrderBy{"struct OrderBy", kOrderByKeys, 2, all_of(2)};
constexpr RecordShape kVectorOrderBy{"struct VectorOrderBy", kVectorOrderByKeys, 3, all_of(3)};
constexpr RecordShape kTextRankBy{"struct TextRankBy", kTextRankByKeys, 3, all_of(3)};
constexpr RecordShape kBulkUpdateRow{"struct BulkUpdateRow", kBulkUpdateRowKeys, 2, all_of(2)};

constexpr std::string_view kFieldsKey[] = {"fields"};
constexpr std::string_view kValuesKey[] = {"values"};
constexpr std::string_view kUpdateKeys[] = {"assignments", "danger"};
constexpr std::string_view kDeleteKeys[] = {"danger"};
constexpr std::string_view kBulkInsertKeys[] = {"rows", "returning"};
constexpr std::string_view kBulkUpdateKeys[] = {"pk_fields", "fields", "rows"};
constexpr std::string_view kBulkDeleteKeys[] = {"pk_fields", "ids"};

constexpr RecordShape kSelect{"struct variant Operation::Select", kFieldsKey, 1, all_of(1)};
constexpr RecordShape kInsert{"struct variant Operation::Insert", kValuesKey, 1, all_of(1)};
constexpr RecordShape kUpdate{"struct variant Operation::Update", kUpdateKeys, 1, all_of(1)};
constexpr RecordShape kDelete{"struct variant Operation::Delete", kDeleteKeys, 0, 0};
constexpr RecordShape kBulkInsert{"struct variant Operation::BulkInsert", kBulkInsertKeys, 1, all_of(1)};
constexpr RecordShape kBulkUpdate{"struct variant Operation::BulkUpdate", kBulkUpdateKeys, 3, all_of(3)};
constexpr RecordShape kBulkDelete{"struct variant Operation::BulkDelete", kBulkDeleteKeys, 2, all_of(2)};

constexpr std::string_view kChildrenKey[] = {"children"};
constexpr std::string_view kChildKey[] = {"child"};
constexpr std::string_view kFilterKey[] = {"filter"};

constexpr RecordShape kAnd{"struct variant Predicate::And", kChildrenKey, 1, all_of(1)};
constexpr RecordShape kOr{"struct variant Predicate::Or", kChildrenKey, 1, all_of(1)};
constexpr RecordShape kNot{"struct variant Predicate::Not", kChildKey, 1, all_of(1)};
constexpr RecordShape kFilterVariant{"struct variant Predicate::Filter", kFilterKey, 1, all_of(1)};

constexpr std::string_view kTagWhat = "variant identifier";

// Unit enums. An unknown sort direction is kept for the compile driver to reject.
bool decode_direction(Decoder& d, std::uint32_t i, SortDirection& out) {
  static constexpr std::size_t kUnknown = static_cast<std::size_t>(SortDirection::Unknown);
  return decode_enum(d, i, kSortDirectionNames, "enum SortDirection", out, &kUnknown);
}

bool decode_metric(Decoder& d, std::uint32_t i, VectorMetric& out) {
  return decode_enum(d, i, kVectorMetricNames, "enum VectorMetric", out);
}

bool decode_mode(Decoder& d, std::uint32_t i, TextSearchMode& out) {
  return decode_enum(d, i, kTextSearchModeNames, "enum TextSearchMode", out);
}

bool decode_field_ref(Decoder& d, std::uint32_t i, FieldRef& out) {
  return d.read_record(i, kFieldRef, [&](unsigned field, std::uint32_t v) {
    switch (field) {
      case 0: return d.read_string(v, out.name);
      case 1: return d.read_u64(v, out.index);
    }
    return true;
  });
}

bool decode_filter(Decoder& d, std::uint32_t i, Filter& out) {
  return d.read_record(i, kFilter, [&](unsigned field, std::uint32_t v) {
    switch (field) {
      case 0: return decode_field_ref(d, v, out.field);
      case 1: return d.read_string(v, out.op);
      case 2: return decode_bind_value(d, v, out.value);
    }
    return true;
  });
}

bool decode_join_field_ref(Decoder& d, std::uint32_t i, JoinFieldRef& out) {
  return d.read_record(i, kJoinFieldRef, [&](unsigned field, std::uint32_t v) {
    switch (field) {
      case 0: return d.read_u64(v, out.index);
      case 1: return d.read_string(v, out.name);
      case 2: return d.read_string(v, out.column);
    }
    return true;
  });
}

bool decode_join(Decoder& d, std::uint32_t i, JoinSpec& out) {
  return d.read_record(i, kJoinSpec, [&](unsigned field, std::uint32_t v) {
    switch (field) {
      case 0: return d.read_string(v, out.relation);
      case 1: return d.read_string(v, out.alias);
      case 2: return decode_field_ref(d, v, out.local_field);
      case 3: return d.read_string(v, out.remote_table);
      case 4: return d.read_string(v, out.remote_pk_column);
      case 5: return decode_list(d, v, out.remote_fields, decode_join_field_ref);
    }
    return true;
  });
}

bool decode_order_by(Decoder& d, std::uint32_t i, OrderBy& out) {
  return d.read_record(i, kOrderBy, [&](unsigned field, std::uint32_t v) {
    switch (field) {
      case 0: return decode_field_ref(d, v, out.field);
      case 1: return decode_direction(d, v, out.direction);
    }
    return true;
  });
}

bool decode_vector_order_by(Decoder& d, std::uint32_t i, VectorOrderBy& out) {
  return d.read_record(i, kVectorOrderBy, [&](unsigned field, std::uint32_t v) {
    switch (field) {
      case 0: return decode_field_ref(d, v, out.field);
      case 1: return decode_metric(d, v, out.metric);
      case 2: return decode_bind_value(d, v, out.value);
    }
    return true;
  });
}

bool decode_text_rank_by(Decoder& d, std::uint32_t i, TextRankBy& out) {
  return d.read_record(i, kTextRankBy, [&](unsigned field, std::uint32_t v) {
    switch (field) {
      case 0: return decode_field_ref(d, v, out.field);
      case 1: return decode_bind_value(d, v, out.query);
      case 2: return decode_mode(d, v, out.mode);
    }
    return true;
  });
}

bool decode_bind_values(Decoder& d, std::uint32_t i, std::span<const BindValue>& out) {
  return decode_list(d, i, out, decode_bind_value);
}

bool decode_bulk_update_row(Decoder& d, std::uint32_t i, BulkUpdateRow& out) {
  return d.read_record(i, kBulkUpdateRow, [&](unsigned field, std::uint32_t v) {
    switch (field) {
      case 0: return decode_bind_values(d, v, out.pk_values);
      case 1: return decode_bind_values(d, v, out.values);
    }
    return true;
  });
}

//! A pair: [field reference, value].
bool decode_assignment(Decoder& d, std::uint32_t i, Assignment& out) {
  return decode_pair(
      d, i, [&](std::uint32_t e) { return decode_field_ref(d, e, out.field); },
      [&](std::uint32_t e) { return decode_bind_value(d, e, out.value); });
}

bool decode_assignments(Decoder& d, std::uint32_t i, std::span<const Assignment>& out) {
  return decode_list(d, i, out, decode_assignment);
}

bool decode_field_refs(Decoder& d, std::uint32_t i, std::span<const FieldRef>& out) {
  return decode_list(d, i, out, decode_field_ref);
}

//! The tag of an internally tagged union, wherever it stands in the map, or
//! the first element of the array form; `body` receives the variant's fields.
bool read_tagged(Decoder& d, std::uint32_t i, std::span<const std::string_view> names, std::string_view what,
                 std::size_t& variant, RecordBody& body) {
  const TapeEvent& e = d.at(i);
  if (e.kind == TapeKind::Map) {
    std::uint32_t tag = 0;
    if (!d.find_tag(i, tag) || !d.read_variant(tag, names, kTagWhat, variant)) return false;
    body = {i, 0, 0, true};
    return true;
  }
  if (e.kind == TapeKind::Array) {
    if (e.size == 0) return d.fail_missing(i, kTagKey);
    if (!d.read_variant(i + 1, names, kTagWhat, variant)) return false;
    body = {i, d.next(i + 1), e.size - 1, false};
    return true;
  }
  return d.fail_type(i, what);
}

bool decode_operation(Decoder& d, std::uint32_t i, Operation& out) {
  std::size_t variant = 0;
  RecordBody body{};
  if (!read_tagged(d, i, kOperationNames, "internally tagged enum Operation", variant, body)) return false;
  switch (static_cast<OperationKind>(variant)) {
    case OperationKind::Select: {
      Select op;
      if (!d.read_body(body, kSelect, [&](unsigned, std::uint32_t v) { return decode_field_refs(d, v, op.fields); }))
        return false;
      out = op;
      return true;
    }
    case OperationKind::Insert: {
      Insert op;
      if (!d.read_body(body, kInsert, [&](unsigned, std::uint32_t v) { return decode_assignments(d, v, op.values); }))
        return false;
      out = op;
      return true;
    }
    case OperationKind::Update: {
      Update op;
      if (!d.read_body(body, kUpdate, [&](unsigned field, std::uint32_t v) {
            return field == 0 ? decode_assignments(d, v, op.assignments) : d.read_bool(v, op.danger);
          }))
        return false;
      out = op;
      return true;
    }
    case OperationKind::Delete: {
      Delete op;
      if (!d.read_body(body, kDelete, [&](unsigned, std::uint32_t v) { return d.read_bool(v, op.danger); }))
        return false;
      out = op;
      return true;
    }
    case OperationKind::BulkInsert: {
      BulkInsert op;
      if (!d.read_body(body, kBulkInsert, [&](unsigned field, std::uint32_t v) {
            return field == 0 ? decode_list(d, v, op.rows, decode_assignments) : d.read_bool(v, op.returning);
          }))
        return false;
      out = op;
      return true;
    }
    case OperationKind::BulkUpdate: {
      BulkUpdate op;
      if (!d.read_body(body, kBulkUpdate, [&](unsigned field, std::uint32_t v) {
            switch (field) {
              case 0: return decode_field_refs(d, v, op.pk_fields);
              case 1: return decode_field_refs(d, v, op.fields);
              case 2: return decode_list(d, v, op.rows, decode_bulk_update_row);
            }
            return true;
          }))
        return false;
      out = op;
      return true;
    }
    case OperationKind::BulkDelete: {
      BulkDelete op;
      if (!d.read_body(body, kBulkDelete, [&](unsigned field, std::uint32_t v) {
            return field == 0 ? decode_field_refs(d, v, op.pk_fields) : decode_list(d, v, op.ids, decode_bind_values);
          }))
        return false;
      out = op;
      return true;
    }
  }
  return true;
}

// Recursion is bounded by the readers' nesting limits: every level of a
// predicate tree is at least one container.
bool decode_predicate(Decoder& d, std::uint32_t i, Predicate& out) {
  std::size_t variant = 0;
  RecordBody body{};
  if (!read_tagged(d, i, kPredicateNames, "internally tagged enum Predicate", variant, body)) return false;
  out.kind = static_cast<Predicate::Kind>(variant);
  switch (out.kind) {
    case Predicate::Kind::And:
    case Predicate::Kind::Or:
      return d.read_body(body, out.kind == Predicate::Kind::And ? kAnd : kOr, [&](unsigned, std::uint32_t v) {
        std::span<const Predicate> children;
        if (!decode_list(d, v, children, decode_predicate)) return false;
        out.child_data = children.data();
        out.child_count = children.size();
        return true;
      });
    case Predicate::Kind::Not:
      return d.read_body(body, kNot, [&](unsigned, std::uint32_t v) {
        std::span<Predicate> child = d.arena().alloc<Predicate>(1);
        if (!decode_predicate(d, v, child[0])) return false;
        out.child_data = child.data();
        out.child_count = 1;
        return true;
      });
    case Predicate::Kind::Filter:
      return d.read_body(body, kFilterVariant, [&](unsigned, std::uint32_t v) { return decode_filter(d, v, out.filter); });
  }
  return true;
}

}  // namespace

bool decode_filter_record(Decoder& d, std::uint32_t i, Filter& out) { return decode_filter(d, i, out); }
bool decode_bulk_update_record(Decoder& d, std::uint32_t i, BulkUpdateRow& out) {
  return decode_bulk_update_row(d, i, out);
}
bool decode_sort_direction(Decoder& d, std::uint32_t i, SortDirection& out) { return decode_direction(d, i, out); }
bool decode_vector_order_record(Decoder& d, std::uint32_t i, VectorOrderBy& out) {
  return decode_vector_order_by(d, i, out);
}
bool decode_text_rank_record(Decoder& d, std::uint32_t i, TextRankBy& out) { return decode_text_rank_by(d, i, out); }
bool read_tagged_union(Decoder& d, std::uint32_t i, std::span<const std::string_view> names, std::string_view what,
                       std::size_t& variant, RecordBody& body) {
  return read_tagged(d, i, names, what, variant, body);
}

bool decode_query(Decoder& d, std::uint32_t i, QuerySetIR& out) {
  return d.read_record(i, kQuery, [&](unsigned field, std::uint32_t v) {
    switch (field) {
      case 0: return d.read_u32(v, out.version);
      case 1: return d.read_string(v, out.model_name);
      case 2: return decode_operation(d, v, out.operation);
      case 3: return decode_list(d, v, out.filters, decode_filter);
      case 4: return decode_list(d, v, out.order_by, decode_order_by);
      case 5: return decode_optional(d, v, out.limit, &Decoder::read_u64);
      case 6: return decode_optional(d, v, out.offset, &Decoder::read_u64);
      case 7: return decode_optional(d, v, out.vector_order_by, decode_vector_order_by);
      case 8: return decode_optional(d, v, out.text_rank_by, decode_text_rank_by);
      case 9: return decode_optional(d, v, out.predicate, decode_predicate);
      case 10: return d.read_bool(v, out.distinct);
      case 11: return d.read_bool(v, out.exists);
      case 12: return decode_list(d, v, out.joins, decode_join);
    }
    return true;
  });
}

}  // namespace sarnic::codec::detail
