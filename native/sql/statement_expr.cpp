// The expression half of the statement writer: fields and values, operators,
// functions, IN lists and subqueries, EXISTS, LIKE and version-3 filters.
#include <cstddef>
#include <optional>
#include <string_view>

#include "core/statement_check.hpp"
#include "sql/fts/fts.hpp"
#include "sql/statement_writer.hpp"
#include "sql/where.hpp"

namespace sarnic::statement_sql {
namespace {

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

// A list value element by element, read off its type once: the length, how
// to bind one element (MySQL's one placeholder each), and the PostgreSQL
// array type it is cast to when the operand's field does not say.
struct ListElements {
  std::size_t size = 0;
  BindValue (*at)(const BindValue& list, std::size_t i) = nullptr;
  std::string_view pg_type = "text";
};

ListElements list_elements(const BindValue& list) {
  switch (list.type()) {
    case BindType::IntArray:
      return {list.as_int_array().size(),
              [](const BindValue& l, std::size_t i) { return BindValue::integer(l.as_int_array()[i]); }, "bigint"};
    case BindType::TextArray:
      return {list.as_text_array().size(),
              [](const BindValue& l, std::size_t i) { return BindValue::text(l.as_text_array()[i]); }, "text"};
    case BindType::FloatArray:
      return {list.as_float_array().size(),
              [](const BindValue& l, std::size_t i) { return BindValue::number(l.as_float_array()[i]); },
              "double precision"};
    case BindType::Null:
    case BindType::Bool:
    case BindType::Int:
    case BindType::Float:
    case BindType::Text:
    case BindType::Bytes:
    case BindType::Datetime: break;
  }
  return {};
}

}  // namespace

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
  const ListElements elements = list_elements(list);
  const ParamLabel label = ParamLabel::whole(e.label);
  // MySQL gets one placeholder per element, so an empty list must not reach
  // "IN ()": it is the constant it stands for, whatever the operand.
  if (elements.size == 0 && dialect_.kind == Dialect::MySql) {
    out_ += e.negated ? "1 = 1" : "1 = 0";
    return {};
  }
  if (auto ok = expr(operand, scope); !ok) return ok;
  switch (dialect_.kind) {
    case Dialect::Postgres: {
      // One typed array: the text is the same for any length, and no list
      // reaches the protocol's parameter limit.
      std::string_view element = elements.pg_type;
      if (operand.kind == Expr::Kind::Field) {
        const Scope& owner = outer(scope, operand.up);
        element = pg_element_type(
            field_at(models_[source_model(*owner.statement, operand.source)], operand.field).field_type);
      }
      out_ += e.negated ? " <> ALL(" : " = ANY(";
      placeholder(list, label);
      out_ += "::";
      out_ += element;
      out_ += "[])";
      return {};
    }
    case Dialect::Sqlite:
    case Dialect::Mssql:
      // The layer binds the list as one JSON array.
      out_ += e.negated ? " NOT IN (SELECT value FROM " : " IN (SELECT value FROM ";
      out_ += dialect_.kind == Dialect::Sqlite ? "json_each(" : "OPENJSON(";
      placeholder(list, label);
      out_ += "))";
      return {};
    case Dialect::MySql:
      break;
  }
  // MySQL: one placeholder per element; the driver interpolates them, so no
  // list reaches a parameter limit.
  out_ += e.negated ? " NOT IN (" : " IN (";
  params_.reserve(params_.values.size() + elements.size);
  for (std::size_t i = 0; i < elements.size; ++i) {
    if (i != 0) out_ += ", ";
    placeholder(elements.at(list, i), label);
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
      placeholder(*e.value, ParamLabel::whole(e.label));
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
  std::string_view fold_close = ")";
  switch (dialect_.kind) {
    case Dialect::Postgres:
      // lower() follows the database's ctype, which folds ASCII only under C:
      // ICU's root collation folds by Unicode rules whatever the database's.
      fold_close = " COLLATE \"und-x-icu\")";
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
  if (fold) out_ += fold_close;
  out_ += " LIKE ";
  out_ += fold ? fold_open : std::string_view("(");
  if (auto ok = expr(e.children[1], scope); !ok) return ok;
  if (fold && fold_close.size() > 1) {
    out_ += fold_close;
    out_ += pattern_close.substr(1);
  } else {
    out_ += pattern_close;
  }
  out_ += tail;
  return {};
}

}  // namespace sarnic::statement_sql
