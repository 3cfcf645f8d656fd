#pragma once
// The per-record decoders behind decode_ir and decode_metadata, each reading
// the value at one tape index. Private to the codec.
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
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

//! The required-key mask of a record whose first `n` keys are required.
constexpr std::uint32_t all_of(unsigned n) { return (std::uint32_t{1} << n) - 1; }

// The combinators every record decoder is written with. `read` is either a
// decoder of this folder, (Decoder&, index, T&), or a Decoder member such as
// &Decoder::read_u64.

template <class T, class Read>
bool decode_list(Decoder& d, std::uint32_t i, std::span<const T>& out, Read read) {
  return d.read_list(i, out, [&](std::uint32_t element, T& slot) { return std::invoke(read, d, element, slot); });
}

//! Null leaves `out` empty.
template <class T, class Read>
bool decode_optional(Decoder& d, std::uint32_t i, std::optional<T>& out, Read read) {
  if (d.is_null(i)) {
    out.reset();
    return true;
  }
  T value{};
  if (!std::invoke(read, d, i, value)) return false;
  out = value;
  return true;
}

//! One record in the arena, for trees of records; null gives a null pointer.
template <class T, class Read>
bool decode_boxed(Decoder& d, std::uint32_t i, const T*& out, Read read) {
  if (d.is_null(i)) {
    out = nullptr;
    return true;
  }
  std::span<T> box = d.arena().alloc<T>(1);
  if (!std::invoke(read, d, i, box[0])) return false;
  out = box.data();
  return true;
}

//! A unit enum by name (MessagePack: by position); `fallback` as read_variant takes it.
template <class E>
bool decode_enum(Decoder& d, std::uint32_t i, std::span<const std::string_view> names, std::string_view what, E& out,
                 const std::size_t* fallback = nullptr) {
  std::size_t v = 0;
  if (!d.read_variant(i, names, what, v, fallback)) return false;
  out = static_cast<E>(v);
  return true;
}

//! A two-element array: `first` reads element 0, `second` element 1, each given its index.
template <class First, class Second>
bool decode_pair(Decoder& d, std::uint32_t i, First&& first, Second&& second) {
  static constexpr std::string_view kPair = "a tuple of size 2";
  const TapeEvent& e = d.at(i);
  if (e.kind != TapeKind::Array) return d.fail_type(i, kPair);
  if (e.size != 2) return d.fail_length(i, e.size, kPair);
  return first(i + 1) && second(d.next(i + 1));
}

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
