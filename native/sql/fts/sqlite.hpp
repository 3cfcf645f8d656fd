#pragma once
// SQLite: a companion full-text table joined to the base table by rowid. The
// operator and the mode make no difference here.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/metadata.hpp"

namespace sarnic::fts::sqlite {

void emit_match(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index,
                std::uint64_t param_number);

//! The match of one field alone: where the field shares its companion with
//! other fields, the condition names the field's column.
void emit_field_match(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index,
                      std::uint64_t param_number);
void emit_rank_order(std::string& out, const ModelMetadata& metadata, std::uint64_t field_index,
                     std::string_view table_name, std::uint64_t param_number);

}  // namespace sarnic::fts::sqlite
