#pragma once
// The writer of version-4 statements: one pass over a checked statement tree,
// every table occurrence named apart, placeholders numbered across subqueries
// in text order.
#include <span>
#include <string_view>

#include "core/error.hpp"
#include "core/metadata.hpp"
#include "core/statement.hpp"
#include "sql/emit.hpp"

namespace sarnic {

//! Dialect names as Dialect::parse takes them; "mariadb" also selects MariaDB's
//! INSERT ... RETURNING, which plain MySQL lacks.
CompileResult<DispatchedQuery> dispatch_statement(std::span<const ModelMetadata> models, const Statement& statement,
                                                  std::string_view dialect);

}  // namespace sarnic
