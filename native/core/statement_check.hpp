#pragma once
// The gate every version-4 statement passes before SQL is written: model,
// source and field references at every level, the operation's own needs, the
// shapes of expressions and subqueries. Dialect-free; errors name the place in
// the document ("statement.where.children[1].left: ...").
#include <cstddef>
#include <span>

#include "core/error.hpp"
#include "core/metadata.hpp"
#include "core/statement.hpp"

namespace sarnic {

struct StatementShape {
  std::size_t table_occurrences = 0;  //!< FROM tables and joins at every level
};

CompileResult<StatementShape> check_statement(std::span<const ModelMetadata> models, const Statement& statement);

//! The model of a source of a checked statement: 0 its own model, 1.. its joins.
inline std::uint64_t source_model(const Statement& statement, std::uint32_t source) {
  return source == 0 ? statement.model : statement.joins[source - 1].model;
}

}  // namespace sarnic
