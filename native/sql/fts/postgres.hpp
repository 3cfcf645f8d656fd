#pragma once
// PostgreSQL: the field's own column against a tsquery. A text column is turned
// into a tsvector on the fly; a ts_vector column is searched as it is.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/ir.hpp"
#include "core/metadata.hpp"
#include "sql/fts/fts.hpp"

namespace sarnic::fts::postgres {

void emit_match(std::string& out, const ColumnRef& column, MatchOperator op, std::uint64_t param_number,
                const FieldMeta& field, std::optional<std::string_view> config);

void emit_rank_order(std::string& out, const ColumnRef& column, std::uint64_t param_number, TextSearchMode mode,
                     const FieldMeta& field, std::optional<std::string_view> config);

}  // namespace sarnic::fts::postgres
