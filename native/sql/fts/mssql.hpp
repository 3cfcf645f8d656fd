#pragma once
// SQL Server: FREETEXT/CONTAINS on the field's column for the condition; the
// rank comes from FREETEXTTABLE/CONTAINSTABLE joined on the first key column.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/ir.hpp"
#include "core/metadata.hpp"
#include "sql/fts/fts.hpp"

namespace sarnic::fts::mssql {

void emit_match(std::string& out, const ColumnRef& column, MatchOperator op, std::uint64_t param_number);

void emit_rank_order(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index,
                     std::string_view table_name, std::uint64_t param_number, TextSearchMode mode);

}  // namespace sarnic::fts::mssql
