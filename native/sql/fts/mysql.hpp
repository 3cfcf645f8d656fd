#pragma once
// MySQL/MariaDB: MATCH ... AGAINST over the covered columns, never qualified.
#include <cstdint>
#include <string>

#include "core/ir.hpp"
#include "core/metadata.hpp"
#include "sql/fts/fts.hpp"

namespace sarnic::fts::mysql {

void match_columns_sql(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index);

void emit_match(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index, MatchOperator op,
                std::uint64_t param_number);

//! The match of one field alone (see the SQLite form).
void emit_field_match(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index, MatchOperator op,
                      std::uint64_t param_number);
void emit_rank_order(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index,
                     std::uint64_t param_number, TextSearchMode mode);

}  // namespace sarnic::fts::mysql
