#include "sql/where.hpp"

#include "sql/fts/fts.hpp"

namespace sarnic {
namespace {

struct Comparison {
  std::string_view op;
  std::string_view sql;
};

// Operators with their own SQL; every other text compares with "=". "icontains"
// is the dialect's and handled apart.
constexpr Comparison kComparisons[] = {
    {"ne", "<>"}, {"gt", ">"}, {"gte", ">="}, {"lt", "<"}, {"lte", "<="}, {"contains", "LIKE"},
};

std::string_view comparison_sql(Dialect dialect, std::string_view op) {
  for (const Comparison& c : kComparisons) {
    if (c.op == op) return c.sql;
  }
  if (op == "icontains") return dialect.traits().icontains;
  return "=";
}

void emit_leaf(std::string& out, Dialect dialect, const ModelMetadata& metadata, const Filter& filter,
               std::string_view base_table_ref, bool qualify, Params& params) {
  const FieldMeta& field = field_at(metadata, filter.field.index);
  ColumnRef column{base_table_ref, field.column_name, qualify};
  if (std::optional<BindValue> bound = filter_clause(out, dialect, metadata, filter.field.index, column, filter.op,
                                                     params.next_number(), filter.value)) {
    params.bind(*bound, ParamLabel::of_field(filter.field.name, filter.op));
  }
}

}  // namespace

void qualify_base_column(std::string& out, Dialect dialect, std::string_view base_table_ref,
                         std::string_view column_name, bool qualify) {
  if (qualify) {
    out.append(base_table_ref);
    out.push_back('.');
  }
  append_quoted(out, dialect, column_name);
}

std::optional<BindValue> filter_clause(std::string& out, Dialect dialect, const ModelMetadata& metadata,
                                       std::uint64_t field_index, const ColumnRef& column, std::string_view op,
                                       std::uint64_t param_number, const BindValue& value) {
  if (std::optional<fts::MatchOperator> match = fts::parse_match_operator(op)) {
    return fts::emit_match(out, dialect, metadata, field_index, column, *match, param_number, value);
  }
  append_column(out, dialect, column);
  if (op == "is_null") {
    out.append(" IS NULL");
    return std::nullopt;
  }
  if (op == "is_not_null") {
    out.append(" IS NOT NULL");
    return std::nullopt;
  }
  out.push_back(' ');
  out.append(comparison_sql(dialect, op));
  out.push_back(' ');
  append_placeholder(out, dialect, param_number);
  return value;
}

CompileStatus emit_predicate(std::string& out, Dialect dialect, const ModelMetadata& metadata,
                             const Predicate& predicate, std::string_view base_table_ref, bool qualify,
                             Params& params) {
  std::string_view separator;
  switch (predicate.kind) {
    case Predicate::Kind::Filter:
      emit_leaf(out, dialect, metadata, predicate.filter, base_table_ref, qualify, params);
      return {};
    case Predicate::Kind::Not:
      if (predicate.child_count != 1) internal_fault("not predicate without exactly one child");
      out.append("NOT (");
      if (CompileStatus s = emit_predicate(out, dialect, metadata, predicate.children().front(), base_table_ref,
                                           qualify, params);
          !s) {
        return s;
      }
      out.push_back(')');
      return {};
    case Predicate::Kind::And:
      // An empty group is the neutral element of its connective, not "()".
      if (predicate.child_count == 0) {
        out.append("(1 = 1)");
        return {};
      }
      separator = " AND ";
      break;
    case Predicate::Kind::Or:
      if (predicate.child_count == 0) {
        out.append("(1 = 0)");
        return {};
      }
      separator = " OR ";
      break;
  }
  out.push_back('(');
  bool first = true;
  for (const Predicate& child : predicate.children()) {
    if (!first) out.append(separator);
    first = false;
    if (CompileStatus s = emit_predicate(out, dialect, metadata, child, base_table_ref, qualify, params); !s) {
      return s;
    }
  }
  out.push_back(')');
  return {};
}

CompileResult<bool> build_where_sql(std::string& out, Dialect dialect, const ModelMetadata& metadata,
                                    const QuerySetIR& ir, std::string_view base_table_ref, bool qualify,
                                    Params& params, std::string_view keyword) {
  std::size_t conditions = ir.filters.size() + (ir.predicate ? 1 : 0);
  if (conditions == 0) return false;
  out.append(keyword);
  if (conditions > 1) out.push_back('(');
  bool first = true;
  for (const Filter& filter : ir.filters) {
    if (!first) out.append(" AND ");
    first = false;
    emit_leaf(out, dialect, metadata, filter, base_table_ref, qualify, params);
  }
  if (ir.predicate) {
    if (!first) out.append(" AND ");
    if (CompileStatus s = emit_predicate(out, dialect, metadata, *ir.predicate, base_table_ref, qualify, params);
        !s) {
      return std::unexpected(std::move(s.error()));
    }
  }
  if (conditions > 1) out.push_back(')');
  return true;
}

}  // namespace sarnic
