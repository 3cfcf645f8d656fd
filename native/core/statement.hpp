#pragma once
// The statement IR (version 4): one expression tree for conditions, select
// items, assignments, grouping and ordering, over several models at once.
// Like the version-3 records, everything views the decoded document or the
// call's arena and is trivially destructible.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/bind_value.hpp"
#include "core/ir.hpp"

namespace sarnic {

inline constexpr std::uint32_t STATEMENT_IR_VERSION = 4;

struct Statement;

enum class BinaryOp : std::uint8_t { Add, Sub, Mul, Div, Eq, Ne, Lt, Lte, Gt, Gte };
enum class UnaryOp : std::uint8_t { Neg, Not, IsNull, IsNotNull };
enum class Function : std::uint8_t { Count, Sum, Avg, Min, Max, Coalesce, Lower, Upper, Length };

struct Expr {
  enum class Kind : std::uint8_t {
    Field, Value, Binary, Unary, And, Or, Func, In, Exists, Subquery, Excluded, Filter, Like
  };
  Kind kind = Kind::Value;
  std::uint8_t op = 0;       //!< BinaryOp, UnaryOp or Function, by kind
  bool distinct = false;     //!< Func
  bool negated = false;      //!< In
  bool fold = false;         //!< Like: compare with case folded (Unicode rules)
  std::uint32_t source = 0;  //!< Field, Filter: 0 the statement's model, 1.. its joins
  std::uint32_t up = 0;      //!< Field, Filter: enclosing statements to go out
  std::uint64_t field = 0;   //!< Field, Excluded
  //! Binary: left, right; Like: operand, pattern; Unary and In: the operand; And/Or: the children; Func: the arguments.
  std::span<const Expr> children;
  const Statement* query = nullptr;  //!< In (subquery form), Exists, Subquery
  std::optional<BindValue> value;    //!< Value; In (list form): one array value
  std::string_view label;            //!< Value, In
  Filter filter;                     //!< Filter

  BinaryOp binary() const { return static_cast<BinaryOp>(op); }
  UnaryOp unary() const { return static_cast<UnaryOp>(op); }
  Function function() const { return static_cast<Function>(op); }
};

struct StatementJoin {
  std::uint64_t model = 0;
  std::string_view name;  //!< projection prefix: "<name>__<column>"
  std::uint64_t local_field = 0;
  std::span<const std::uint64_t> fields;
};

struct SortKey {
  Expr expr;
  SortDirection direction = SortDirection::Asc;
};

struct RowLock {
  bool skip_locked = false;
  bool nowait = false;
  std::span<const std::uint64_t> of;  //!< sources; empty: every table of the statement
};

struct ColumnValue {
  std::uint64_t field = 0;
  Expr value;
};

struct BulkValue {
  std::uint64_t field = 0;
  BindValue value;
};

struct OnConflict {
  std::span<const std::uint64_t> target;
  //! None: do nothing; otherwise the assignments of the stored row.
  std::optional<std::span<const ColumnValue>> update;
};

enum class StatementKind : std::uint8_t { Select, Values, Insert, Update, Delete, BulkInsert, BulkUpdate };

constexpr std::string_view statement_kind_name(StatementKind k) {
  switch (k) {
    case StatementKind::Select: return "select";
    case StatementKind::Values: return "values";
    case StatementKind::Insert: return "insert";
    case StatementKind::Update: return "update";
    case StatementKind::Delete: return "delete";
    case StatementKind::BulkInsert: return "bulk_insert";
    case StatementKind::BulkUpdate: return "bulk_update";
  }
  return "select";
}

struct Statement {
  std::uint32_t version = 0;  //!< top level only
  std::uint64_t model = 0;
  StatementKind kind = StatementKind::Select;

  std::span<const std::uint64_t> fields;          //!< Select; BulkUpdate: the updated fields
  std::span<const std::uint64_t> key_fields;      //!< BulkUpdate
  std::span<const BulkUpdateRow> updates;         //!< BulkUpdate
  std::span<const Expr> items;                    //!< Values
  std::span<const ColumnValue> assignments;       //!< Insert values, Update assignments
  std::span<const std::span<const BulkValue>> rows;  //!< BulkInsert
  //! Insert, Update: absent hands the written rows back where the dialect can;
  //! BulkInsert: absent hands none back; Delete: never true.
  std::optional<bool> returning;
  bool danger = false;                            //!< Update, Delete
  std::optional<OnConflict> on_conflict;          //!< Insert, BulkInsert

  const Expr* where = nullptr;
  std::span<const StatementJoin> joins;
  std::span<const Expr> group_by;
  const Expr* having = nullptr;
  std::span<const SortKey> order_by;
  std::optional<std::uint64_t> limit;
  std::optional<std::uint64_t> offset;
  bool distinct = false;
  bool exists = false;
  std::optional<RowLock> lock;
  std::optional<VectorOrderBy> vector_order_by;
  std::optional<TextRankBy> text_rank_by;

  bool reads() const { return kind == StatementKind::Select || kind == StatementKind::Values; }
  //! Whether the written rows come back (RETURNING, OUTPUT) where the dialect can say so.
  bool hands_rows_back() const {
    return returning.value_or(kind == StatementKind::Insert || kind == StatementKind::Update);
  }
};

}  // namespace sarnic
