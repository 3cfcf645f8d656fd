#pragma once
// The writer of version-4 statements, private to sql/. Its two halves call each
// other through subqueries: statement_expr.cpp writes expressions,
// statement_emit.cpp the statements and clauses around them.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/arena.hpp"
#include "core/compiled_query.hpp"
#include "core/error.hpp"
#include "core/metadata.hpp"
#include "core/statement.hpp"
#include "sql/dialect.hpp"
#include "sql/write_support.hpp"

namespace sarnic::statement_sql {

//! One statement level: what its sources are called, and whether columns name them.
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
  CompiledQuery finish() { return write::finish(std::move(out_), std::move(params_)); }

 private:
  //! A select list of the statement's own, or the constant 1 (EXISTS).
  enum class Items : std::uint8_t { Own, One };

  // Statements and their clauses (statement_emit.cpp).
  CompileStatus read(const Statement& st, const Scope* parent, Items items, bool top);
  CompileStatus insert(const Statement& st);
  CompileStatus bulk_insert(const Statement& st);
  CompileStatus update(const Statement& st);
  CompileStatus remove(const Statement& st);
  CompileStatus bulk_update(const Statement& st);
  CompileStatus conflict_clause(const Statement& st, const Scope& scope);
  //! RETURNING after an INSERT: the dialect's own, and MariaDB's, which plain MySQL lacks.
  void returning(const ModelMetadata& model);
  void key_match(const Statement& st, const BulkUpdateRow& row);
  CompileStatus where(const Statement& st, const Scope& scope);
  void table(Scope& scope, std::uint64_t model, bool locked_hint);
  void lock_hint(const Statement& st);
  void lock_clause(const Statement& st, const Scope& scope);

  // Expressions (statement_expr.cpp).
  CompileStatus expr(const Expr& e, const Scope& scope);
  CompileStatus exprs(std::span<const Expr> list, const Scope& scope, std::string_view separator);
  CompileStatus in_list(const Expr& e, const Scope& scope);
  CompileStatus subquery(const Statement& st, const Scope& scope, Items items);
  CompileStatus filter(const Expr& e, const Scope& scope);
  CompileStatus like(const Expr& e, const Scope& scope);
  void function(const Expr& e);
  void column(const Scope& scope, std::uint32_t source, std::uint64_t field);

  //! The next placeholder, and `value` bound to it.
  void placeholder(const BindValue& value, ParamLabel label) {
    append_placeholder(out_, dialect_, params_.next_number());
    params_.bind(value, label);
  }
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

}  // namespace sarnic::statement_sql
