#pragma once
// ORDER BY (sort keys, nearest-neighbour distance or full-text rank), LIMIT and
// OFFSET, appended to a SELECT after its WHERE clause so that placeholders
// continue the numbering.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/compiled_query.hpp"
#include "core/error.hpp"
#include "core/ir.hpp"
#include "core/metadata.hpp"
#include "sql/dialect.hpp"

namespace sarnic {

//! Fails with InvalidSortDirection for a key that is neither ascending nor
//! descending, or MalformedIr for distance ordering outside PostgreSQL; the
//! statement is then left partly written.
CompileStatus append_order_limit_offset(std::string& out, Dialect dialect, const ModelMetadata& metadata,
                                        const QuerySetIR& ir, std::string_view base_table_ref, bool qualify,
                                        Params& params);

//! LIMIT/OFFSET or OFFSET ... FETCH NEXT, with the counts bound as "limit:int"
//! and "offset:int". SQL Server needs an ORDER BY first: `ordered` says whether
//! one was written.
void append_paging(std::string& out, Dialect dialect, Params& params, std::optional<std::uint64_t> limit,
                   std::optional<std::uint64_t> offset, bool ordered);

}  // namespace sarnic
