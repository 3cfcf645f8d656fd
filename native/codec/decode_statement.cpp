// The statement IR and the model list it is compiled against. Records read in
// map or array form through the shared walker, as the version-3 records do;
// recursion is bounded by the readers' nesting limits, since every level of an
// expression or a subquery is at least one container.
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>

#include "codec/decode_records.hpp"
#include "codec/decode_statement.hpp"
#include "core/statement.hpp"

namespace sarnic::codec::detail {

namespace {

constexpr std::uint32_t bits(std::initializer_list<unsigned> positions) {
  std::uint32_t b = 0;
  for (unsigned p : positions) b |= std::uint32_t{1} << p;
  return b;
}

constexpr std::string_view kStatementKeys[] = {"version",  "model",  "operation", "where",  "joins",
                                               "group_by", "having", "order_by",  "limit",  "offset",
                                               "distinct", "exists", "lock",      "vector_order_by",
                                               "text_rank_by"};
constexpr RecordShape kStatement{"struct Statement", kStatementKeys, 3, bits({1, 2})};

constexpr std::string_view kJoinKeys[] = {"model", "name", "local_field", "fields"};
constexpr RecordShape kJoin{"struct StatementJoin", kJoinKeys, 4, bits({0, 1, 2, 3})};
constexpr std::string_view kSortKeys[] = {"expr", "direction"};
constexpr RecordShape kSort{"struct SortKey", kSortKeys, 1, bits({0})};
constexpr std::string_view kLockKeys[] = {"skip_locked", "nowait", "of"};
constexpr RecordShape kLock{"struct RowLock", kLockKeys, 0, 0};
constexpr std::string_view kConflictKeys[] = {"target", "update"};
constexpr RecordShape kConflict{"struct OnConflict", kConflictKeys, 1, bits({0})};

constexpr std::string_view kStatementKinds[] = {"select", "values",      "insert",     "update",
                                               "delete", "bulk_insert", "bulk_update"};
constexpr std::string_view kSelectKeys[] = {"fields"};
constexpr std::string_view kItemsKeys[] = {"items"};
constexpr std::string_view kInsertKeys[] = {"values", "on_conflict", "returning"};
constexpr std::string_view kUpdateKeys[] = {"assignments", "danger", "returning"};
constexpr std::string_view kDeleteKeys[] = {"danger", "returning"};
constexpr std::string_view kBulkInsertKeys[] = {"rows", "returning", "on_conflict"};
constexpr std::string_view kBulkUpdateKeys[] = {"pk_fields", "fields", "rows"};
constexpr RecordShape kBulkUpdateOp{"struct variant StatementOperation::BulkUpdate", kBulkUpdateKeys, 3, bits({0, 1, 2})};
constexpr RecordShape kSelectOp{"struct variant StatementOperation::Select", kSelectKeys, 1, bits({0})};
constexpr RecordShape kValuesOp{"struct variant StatementOperation::Values", kItemsKeys, 1, bits({0})};
constexpr RecordShape kInsertOp{"struct variant StatementOperation::Insert", kInsertKeys, 1, bits({0})};
constexpr RecordShape kUpdateOp{"struct variant StatementOperation::Update", kUpdateKeys, 1, bits({0})};
constexpr RecordShape kDeleteOp{"struct variant StatementOperation::Delete", kDeleteKeys, 0, 0};
constexpr RecordShape kBulkInsertOp{"struct variant StatementOperation::BulkInsert", kBulkInsertKeys, 1, bits({0})};

constexpr std::string_view kExprKinds[] = {"field", "value",  "binary",   "unary",    "and",     "or",
                                           "func",  "in",     "exists",   "subquery", "excluded", "filter", "like"};
constexpr std::string_view kBinaryOps[] = {"add", "sub", "mul", "div", "eq", "ne", "lt", "lte", "gt", "gte"};
constexpr std::string_view kUnaryOps[] = {"neg", "not", "is_null", "is_not_null"};
constexpr std::string_view kFunctions[] = {"count", "sum",   "avg",   "min",   "max",
                                           "coalesce", "lower", "upper", "length"};

constexpr std::string_view kFieldExprKeys[] = {"field", "source", "up"};
constexpr std::string_view kValueExprKeys[] = {"value", "label"};
constexpr std::string_view kBinaryExprKeys[] = {"op", "left", "right"};
constexpr std::string_view kUnaryExprKeys[] = {"op", "operand"};
constexpr std::string_view kChildrenKeys[] = {"children"};
constexpr std::string_view kFuncExprKeys[] = {"name", "args", "distinct"};
constexpr std::string_view kInExprKeys[] = {"operand", "negated", "values", "query", "label"};
constexpr std::string_view kQueryKeys[] = {"query"};
constexpr std::string_view kExcludedKeys[] = {"field"};
constexpr std::string_view kFilterExprKeys[] = {"filter", "source", "up"};

constexpr std::string_view kLikeExprKeys[] = {"operand", "pattern", "fold"};
constexpr RecordShape kLikeExpr{"struct variant Expr::Like", kLikeExprKeys, 2, bits({0, 1})};
constexpr RecordShape kFieldExpr{"struct variant Expr::Field", kFieldExprKeys, 1, bits({0})};
constexpr RecordShape kValueExpr{"struct variant Expr::Value", kValueExprKeys, 1, bits({0})};
constexpr RecordShape kBinaryExpr{"struct variant Expr::Binary", kBinaryExprKeys, 3, bits({0, 1, 2})};
constexpr RecordShape kUnaryExpr{"struct variant Expr::Unary", kUnaryExprKeys, 2, bits({0, 1})};
constexpr RecordShape kAndExpr{"struct variant Expr::And", kChildrenKeys, 1, bits({0})};
constexpr RecordShape kOrExpr{"struct variant Expr::Or", kChildrenKeys, 1, bits({0})};
constexpr RecordShape kFuncExpr{"struct variant Expr::Func", kFuncExprKeys, 1, bits({0})};
constexpr RecordShape kInExpr{"struct variant Expr::In", kInExprKeys, 1, bits({0})};
constexpr RecordShape kExistsExpr{"struct variant Expr::Exists", kQueryKeys, 1, bits({0})};
constexpr RecordShape kSubqueryExpr{"struct variant Expr::Subquery", kQueryKeys, 1, bits({0})};
constexpr RecordShape kExcludedExpr{"struct variant Expr::Excluded", kExcludedKeys, 1, bits({0})};
constexpr RecordShape kFilterExpr{"struct variant Expr::Filter", kFilterExprKeys, 1, bits({0})};

bool decode_statement_record(Decoder& d, std::uint32_t i, Statement& out);
bool decode_expr(Decoder& d, std::uint32_t i, Expr& out);

bool decode_indexes(Decoder& d, std::uint32_t i, std::span<const std::uint64_t>& out) {
  return decode_list(d, i, out, &Decoder::read_u64);
}

bool decode_exprs(Decoder& d, std::uint32_t i, std::span<const Expr>& out) {
  return decode_list(d, i, out, decode_expr);
}

//! A pair: [field index, expression].
bool decode_column_value(Decoder& d, std::uint32_t i, ColumnValue& out) {
  return decode_pair(
      d, i, [&](std::uint32_t e) { return d.read_u64(e, out.field); },
      [&](std::uint32_t e) { return decode_expr(d, e, out.value); });
}

bool decode_column_values(Decoder& d, std::uint32_t i, std::span<const ColumnValue>& out) {
  return decode_list(d, i, out, decode_column_value);
}

//! A pair: [field index, bound value].
bool decode_bulk_value(Decoder& d, std::uint32_t i, BulkValue& out) {
  return decode_pair(
      d, i, [&](std::uint32_t e) { return d.read_u64(e, out.field); },
      [&](std::uint32_t e) { return decode_bind_value(d, e, out.value); });
}

bool decode_bulk_row(Decoder& d, std::uint32_t i, std::span<const BulkValue>& out) {
  return decode_list(d, i, out, decode_bulk_value);
}

bool decode_conflict(Decoder& d, std::uint32_t i, OnConflict& out) {
  return d.read_record(i, kConflict, [&](unsigned field, std::uint32_t v) {
    if (field == 0) return decode_indexes(d, v, out.target);
    return decode_optional(d, v, out.update, decode_column_values);
  });
}

//! A bool, as given: where it is absent the kind's own default holds.
bool decode_returning(Decoder& d, std::uint32_t i, Statement& out) {
  bool returning = false;
  if (!d.read_bool(i, returning)) return false;
  out.returning = returning;
  return true;
}

bool decode_operation(Decoder& d, std::uint32_t i, Statement& out) {
  std::size_t variant = 0;
  RecordBody body{};
  if (!read_tagged_union(d, i, kStatementKinds, "internally tagged enum StatementOperation", variant, body))
    return false;
  out.kind = static_cast<StatementKind>(variant);
  switch (out.kind) {
    case StatementKind::Select:
      return d.read_body(body, kSelectOp, [&](unsigned, std::uint32_t v) { return decode_indexes(d, v, out.fields); });
    case StatementKind::Values:
      return d.read_body(body, kValuesOp, [&](unsigned, std::uint32_t v) { return decode_exprs(d, v, out.items); });
    case StatementKind::Insert:
      return d.read_body(body, kInsertOp, [&](unsigned field, std::uint32_t v) {
        switch (field) {
          case 0: return decode_column_values(d, v, out.assignments);
          case 1: return decode_optional(d, v, out.on_conflict, decode_conflict);
          case 2: return decode_returning(d, v, out);
        }
        return true;
      });
    case StatementKind::Update:
      return d.read_body(body, kUpdateOp, [&](unsigned field, std::uint32_t v) {
        switch (field) {
          case 0: return decode_column_values(d, v, out.assignments);
          case 1: return d.read_bool(v, out.danger);
          case 2: return decode_returning(d, v, out);
        }
        return true;
      });
    case StatementKind::Delete:
      return d.read_body(body, kDeleteOp, [&](unsigned field, std::uint32_t v) {
        return field == 0 ? d.read_bool(v, out.danger) : decode_returning(d, v, out);
      });
    case StatementKind::BulkInsert:
      return d.read_body(body, kBulkInsertOp, [&](unsigned field, std::uint32_t v) {
        switch (field) {
          case 0: return decode_list(d, v, out.rows, decode_bulk_row);
          case 1: return decode_returning(d, v, out);
          case 2: return decode_optional(d, v, out.on_conflict, decode_conflict);
        }
        return true;
      });
    case StatementKind::BulkUpdate:
      return d.read_body(body, kBulkUpdateOp, [&](unsigned field, std::uint32_t v) {
        switch (field) {
          case 0: return decode_indexes(d, v, out.key_fields);
          case 1: return decode_indexes(d, v, out.fields);
          case 2: return decode_list(d, v, out.updates, decode_bulk_update_record);
        }
        return true;
      });
  }
  return true;
}

bool decode_source(Decoder& d, unsigned field, std::uint32_t v, Expr& out) {
  return field == 1 ? d.read_u32(v, out.source) : d.read_u32(v, out.up);
}

bool decode_expr(Decoder& d, std::uint32_t i, Expr& out) {
  std::size_t variant = 0;
  RecordBody body{};
  if (!read_tagged_union(d, i, kExprKinds, "internally tagged enum Expr", variant, body)) return false;
  out.kind = static_cast<Expr::Kind>(variant);
  switch (out.kind) {
    case Expr::Kind::Field:
      return d.read_body(body, kFieldExpr, [&](unsigned field, std::uint32_t v) {
        return field == 0 ? d.read_u64(v, out.field) : decode_source(d, field, v, out);
      });
    case Expr::Kind::Value:
      return d.read_body(body, kValueExpr, [&](unsigned field, std::uint32_t v) {
        if (field == 1) return d.read_string(v, out.label);
        BindValue value;
        if (!decode_bind_value(d, v, value)) return false;
        out.value = value;
        return true;
      });
    case Expr::Kind::Binary: {
      std::span<Expr> pair = d.arena().alloc<Expr>(2);
      out.children = pair;
      return d.read_body(body, kBinaryExpr, [&](unsigned field, std::uint32_t v) {
        if (field == 0) return decode_enum(d, v, kBinaryOps, "enum BinaryOp", out.op);
        return decode_expr(d, v, pair[field - 1]);
      });
    }
    case Expr::Kind::Unary: {
      std::span<Expr> operand = d.arena().alloc<Expr>(1);
      out.children = operand;
      return d.read_body(body, kUnaryExpr, [&](unsigned field, std::uint32_t v) {
        if (field == 0) return decode_enum(d, v, kUnaryOps, "enum UnaryOp", out.op);
        return decode_expr(d, v, operand[0]);
      });
    }
    case Expr::Kind::And:
    case Expr::Kind::Or:
      return d.read_body(body, out.kind == Expr::Kind::And ? kAndExpr : kOrExpr,
                         [&](unsigned, std::uint32_t v) { return decode_exprs(d, v, out.children); });
    case Expr::Kind::Func:
      return d.read_body(body, kFuncExpr, [&](unsigned field, std::uint32_t v) {
        switch (field) {
          case 0: return decode_enum(d, v, kFunctions, "enum Function", out.op);
          case 1: return decode_exprs(d, v, out.children);
          case 2: return d.read_bool(v, out.distinct);
        }
        return true;
      });
    case Expr::Kind::In: {
      std::span<Expr> operand = d.arena().alloc<Expr>(1);
      out.children = operand;
      return d.read_body(body, kInExpr, [&](unsigned field, std::uint32_t v) {
        switch (field) {
          case 0: return decode_expr(d, v, operand[0]);
          case 1: return d.read_bool(v, out.negated);
          case 2: return decode_optional(d, v, out.value, decode_bind_value);
          case 3: return decode_boxed(d, v, out.query, decode_statement_record);
          case 4: return d.read_string(v, out.label);
        }
        return true;
      });
    }
    case Expr::Kind::Exists:
    case Expr::Kind::Subquery:
      return d.read_body(body, out.kind == Expr::Kind::Exists ? kExistsExpr : kSubqueryExpr,
                         [&](unsigned, std::uint32_t v) {
                           return decode_boxed(d, v, out.query, decode_statement_record);
                         });
    case Expr::Kind::Excluded:
      return d.read_body(body, kExcludedExpr, [&](unsigned, std::uint32_t v) { return d.read_u64(v, out.field); });
    case Expr::Kind::Like: {
      std::span<Expr> pair = d.arena().alloc<Expr>(2);
      out.children = pair;
      return d.read_body(body, kLikeExpr, [&](unsigned field, std::uint32_t v) {
        if (field == 2) return d.read_bool(v, out.fold);
        return decode_expr(d, v, pair[field]);
      });
    }
    case Expr::Kind::Filter:
      return d.read_body(body, kFilterExpr, [&](unsigned field, std::uint32_t v) {
        return field == 0 ? decode_filter_record(d, v, out.filter) : decode_source(d, field, v, out);
      });
  }
  return true;
}

bool decode_join(Decoder& d, std::uint32_t i, StatementJoin& out) {
  return d.read_record(i, kJoin, [&](unsigned field, std::uint32_t v) {
    switch (field) {
      case 0: return d.read_u64(v, out.model);
      case 1: return d.read_string(v, out.name);
      case 2: return d.read_u64(v, out.local_field);
      case 3: return decode_indexes(d, v, out.fields);
    }
    return true;
  });
}

bool decode_sort_key(Decoder& d, std::uint32_t i, SortKey& out) {
  return d.read_record(i, kSort, [&](unsigned field, std::uint32_t v) {
    return field == 0 ? decode_expr(d, v, out.expr) : decode_sort_direction(d, v, out.direction);
  });
}

bool decode_lock(Decoder& d, std::uint32_t i, RowLock& out) {
  return d.read_record(i, kLock, [&](unsigned field, std::uint32_t v) {
    switch (field) {
      case 0: return d.read_bool(v, out.skip_locked);
      case 1: return d.read_bool(v, out.nowait);
      case 2: return decode_indexes(d, v, out.of);
    }
    return true;
  });
}

bool decode_statement_record(Decoder& d, std::uint32_t i, Statement& out) {
  return d.read_record(i, kStatement, [&](unsigned field, std::uint32_t v) {
    switch (field) {
      case 0: return d.read_u32(v, out.version);
      case 1: return d.read_u64(v, out.model);
      case 2: return decode_operation(d, v, out);
      case 3: return decode_boxed(d, v, out.where, decode_expr);
      case 4: return decode_list(d, v, out.joins, decode_join);
      case 5: return decode_exprs(d, v, out.group_by);
      case 6: return decode_boxed(d, v, out.having, decode_expr);
      case 7: return decode_list(d, v, out.order_by, decode_sort_key);
      case 8: return decode_optional(d, v, out.limit, &Decoder::read_u64);
      case 9: return decode_optional(d, v, out.offset, &Decoder::read_u64);
      case 10: return d.read_bool(v, out.distinct);
      case 11: return d.read_bool(v, out.exists);
      case 12: return decode_optional(d, v, out.lock, decode_lock);
      case 13: return decode_optional(d, v, out.vector_order_by, decode_vector_order_record);
      case 14: return decode_optional(d, v, out.text_rank_by, decode_text_rank_record);
    }
    return true;
  });
}

}  // namespace

bool decode_statement(Decoder& d, std::uint32_t i, Statement& out) { return decode_statement_record(d, i, out); }

std::optional<std::uint64_t> peek_version(const Tape& tape) {
  if (tape.empty()) return std::nullopt;
  const TapeEvent& root = tape[0];
  if (root.kind == TapeKind::Array) {
    if (root.size == 0 || tape[1].kind != TapeKind::UInt) return std::nullopt;
    return tape[1].u;
  }
  if (root.kind != TapeKind::Map) return std::nullopt;
  std::uint32_t key = 1;
  for (std::uint32_t n = root.size; n > 0; --n) {
    std::uint32_t value = tape[key].end;
    if (tape[key].kind == TapeKind::String && tape[key].text() == "version") {
      if (tape[value].kind != TapeKind::UInt) return std::nullopt;
      return tape[value].u;
    }
    key = tape[value].end;
  }
  return std::nullopt;
}

}  // namespace sarnic::codec::detail

namespace sarnic::codec {

std::expected<std::span<const ModelMetadata>, std::string> decode_models(Format format, std::string_view input,
                                                                        Arena& arena, Tape& tape) {
  if (auto read = detail::read_document(format, input, arena, tape); !read) return std::unexpected(std::move(read.error()));
  detail::Decoder decoder(tape, arena, format);
  std::span<const ModelMetadata> models;
  if (!detail::decode_list(decoder, 0, models, detail::decode_model))
    return std::unexpected(decoder.take_error(input));
  return models;
}

std::expected<StatementDocument, std::string> decode_statement_document(Format format, std::string_view input,
                                                                       Arena& arena, Tape& tape) {
  if (auto read = detail::read_document(format, input, arena, tape); !read) return std::unexpected(std::move(read.error()));
  detail::Decoder decoder(tape, arena, format);
  StatementDocument doc;
  doc.version_4 = detail::peek_version(tape) == std::optional<std::uint64_t>(STATEMENT_IR_VERSION);
  const bool ok = doc.version_4 ? detail::decode_statement(decoder, 0, doc.statement)
                                : detail::decode_query(decoder, 0, doc.query);
  if (!ok) return std::unexpected(decoder.take_error(input));
  return doc;
}

}  // namespace sarnic::codec
