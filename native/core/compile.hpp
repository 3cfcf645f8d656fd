#pragma once
// The gate every query passes before SQL is written: version, field references,
// the operation's own requirements, filters, predicates, joins, sort keys,
// vector ordering and full-text requests. Writes no SQL; allocates only to
// build an error.
#include <cstdint>
#include <string_view>

#include "core/error.hpp"
#include "core/ir.hpp"
#include "core/metadata.hpp"

namespace sarnic {

inline constexpr std::uint32_t SUPPORTED_IR_VERSION = 3;

//! Success, or the first failing check's error.
CompileStatus compile(const ModelMetadata& metadata, const QuerySetIR& ir);

// Per-filter, predicate and full-text validation (called by compile()).
CompileStatus validate_filter(const ModelMetadata& metadata, const Filter& filter);
CompileStatus validate_predicate(const ModelMetadata& metadata, const Predicate& predicate);
CompileStatus validate_text_search(const ModelMetadata& metadata, const QuerySetIR& ir);
CompileStatus validate_predicate_fts(const ModelMetadata& metadata, const Predicate& predicate);
CompileStatus validate_fts_filter(const ModelMetadata& metadata, const Filter& filter);
CompileStatus validate_fts_field_metadata(const FieldMeta& field);

//! "match", "match_phrase", "match_websearch" or "match_boolean", byte-exact.
bool is_fts_operator(std::string_view op);
//! ASCII letters, digits and underscores; non-empty.
bool is_valid_identifier(std::string_view text);
//! ts_vector fields; text fields listed in a full-text index or with source columns.
bool is_fts_capable(const ModelMetadata& metadata, const FieldMeta& field);
//! The first full-text index whose field list names `field_name`, or null.
const FullTextIndexMeta* first_index_listing(const ModelMetadata& metadata, std::string_view field_name);

}  // namespace sarnic
