#pragma once
// The query IR: one tree per call, every text and list a view into the decoded
// document or its arena. All records are trivially destructible.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "core/bind_value.hpp"

namespace sarnic {

struct FieldRef {
  std::string_view name;  //!< for messages and labels only
  std::uint64_t index = 0;  //!< position in ModelMetadata::fields
};

struct Filter {
  FieldRef field;
  std::string_view op;  //!< the operator text, verbatim ("operator" on the wire)
  BindValue value;
};

struct Predicate {
  enum class Kind : std::uint8_t { And, Or, Not, Filter };
  Kind kind = Kind::And;
  //! And/Or: the children; Not: exactly one child; Filter: none.
  const Predicate* child_data = nullptr;
  std::size_t child_count = 0;
  Filter filter;  //!< Filter only

  std::span<const Predicate> children() const { return {child_data, child_count}; }
};

enum class SortDirection : std::uint8_t { Asc, Desc, Unknown };

struct OrderBy {
  FieldRef field;
  SortDirection direction = SortDirection::Asc;
};

enum class VectorMetric : std::uint8_t { L2, Cosine, InnerProduct };

struct VectorOrderBy {
  FieldRef field;
  VectorMetric metric = VectorMetric::L2;
  BindValue value;
};

enum class TextSearchMode : std::uint8_t { Plain, Phrase, Websearch, Boolean };

struct TextRankBy {
  FieldRef field;
  BindValue query;
  TextSearchMode mode = TextSearchMode::Plain;
};

struct JoinFieldRef {
  std::uint64_t index = 0;
  std::string_view name;
  std::string_view column;
};

struct JoinSpec {
  std::string_view relation;
  std::string_view alias;
  FieldRef local_field;
  std::string_view remote_table;
  std::string_view remote_pk_column;
  std::span<const JoinFieldRef> remote_fields;
};

//! A (field reference, value) pair of an insert, update or bulk insert row.
struct Assignment {
  FieldRef field;
  BindValue value;
};

struct BulkUpdateRow {
  std::span<const BindValue> pk_values;
  std::span<const BindValue> values;
};

struct Select {
  std::span<const FieldRef> fields;
};
struct Insert {
  std::span<const Assignment> values;
};
struct Update {
  std::span<const Assignment> assignments;
  bool danger = false;
};
struct Delete {
  bool danger = false;
};
struct BulkInsert {
  std::span<const std::span<const Assignment>> rows;
  bool returning = false;
};
struct BulkUpdate {
  std::span<const FieldRef> pk_fields;
  std::span<const FieldRef> fields;
  std::span<const BulkUpdateRow> rows;
};
struct BulkDelete {
  std::span<const FieldRef> pk_fields;
  std::span<const std::span<const BindValue>> ids;
};

enum class OperationKind : std::uint8_t { Select, Insert, Update, Delete, BulkInsert, BulkUpdate, BulkDelete };

//! The variant's index equals its OperationKind.
using Operation = std::variant<Select, Insert, Update, Delete, BulkInsert, BulkUpdate, BulkDelete>;

inline OperationKind operation_kind(const Operation& op) { return static_cast<OperationKind>(op.index()); }

//! The wire tag and the name reported to Python ("select", "bulk_insert", ...).
constexpr std::string_view operation_name(OperationKind k) {
  switch (k) {
    case OperationKind::Select: return "select";
    case OperationKind::Insert: return "insert";
    case OperationKind::Update: return "update";
    case OperationKind::Delete: return "delete";
    case OperationKind::BulkInsert: return "bulk_insert";
    case OperationKind::BulkUpdate: return "bulk_update";
    case OperationKind::BulkDelete: return "bulk_delete";
  }
  return "select";
}

struct QuerySetIR {
  std::uint32_t version = 0;
  std::string_view model_name;
  Operation operation;
  std::span<const Filter> filters;
  std::span<const OrderBy> order_by;
  std::optional<std::uint64_t> limit;
  std::optional<std::uint64_t> offset;
  std::optional<VectorOrderBy> vector_order_by;
  std::optional<TextRankBy> text_rank_by;
  std::optional<Predicate> predicate;
  bool distinct = false;
  bool exists = false;
  std::span<const JoinSpec> joins;
};

}  // namespace sarnic
