#pragma once
// The per-record decoders behind decode_ir and decode_metadata, each reading
// the value at one tape index. Private to the codec.
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "codec/decode_cursor.hpp"
#include "core/bind_value.hpp"
#include "core/ir.hpp"
#include "core/metadata.hpp"

namespace sarnic::codec::detail {

//! Variant names in position order, as written on the wire.
inline constexpr std::string_view kBindTypeNames[] = {"null", "bool",     "int",         "float",      "text",
                                                      "bytes", "datetime", "float_array", "text_array", "int_array"};
inline constexpr std::string_view kOperationNames[] = {"select",      "insert",      "update",     "delete",
                                                       "bulk_insert", "bulk_update", "bulk_delete"};
inline constexpr std::string_view kPredicateNames[] = {"and", "or", "not", "filter"};
inline constexpr std::string_view kSortDirectionNames[] = {"asc", "desc"};
inline constexpr std::string_view kVectorMetricNames[] = {"l2", "cosine", "inner_product"};
inline constexpr std::string_view kTextSearchModeNames[] = {"plain", "phrase", "websearch", "boolean"};
inline constexpr std::string_view kFieldTypeNames[] = {
    "int",  "big_int", "float", "decimal", "text",      "bool",       "datetime",  "date",       "time",        "uuid",
    "json", "bytes",   "vector", "ts_vector", "array_text", "array_int", "array_uuid", "array_float", "enum"};
//! Accepted on input for ts_vector.
inline constexpr std::string_view kTsVectorAlias = "tsvector";

//! Reads the whole document onto `tape`; fails with the reader's message
//! (JSON: with its position).
std::expected<void, std::string> read_document(Format format, std::string_view input, Arena& arena, Tape& tape);

bool decode_bind_value(Decoder& d, std::uint32_t i, BindValue& out);
bool decode_query(Decoder& d, std::uint32_t i, QuerySetIR& out);
bool decode_model(Decoder& d, std::uint32_t i, ModelMetadata& out);

// Version-3 records that the statement IR embeds as they are.
bool decode_filter_record(Decoder& d, std::uint32_t i, Filter& out);
bool decode_bulk_update_record(Decoder& d, std::uint32_t i, BulkUpdateRow& out);
bool decode_sort_direction(Decoder& d, std::uint32_t i, SortDirection& out);
bool decode_vector_order_record(Decoder& d, std::uint32_t i, VectorOrderBy& out);
bool decode_text_rank_record(Decoder& d, std::uint32_t i, TextRankBy& out);
//! The tag of an internally tagged union (map: the "kind" key anywhere; array:
//! the first element); `body` receives the variant's fields.
bool read_tagged_union(Decoder& d, std::uint32_t i, std::span<const std::string_view> names, std::string_view what,
                       std::size_t& variant, RecordBody& body);

}  // namespace sarnic::codec::detail
