#pragma once
// The typed walk over a tape shared by every record decoder: scalar readers,
// list and record walkers, and the single failure slot. Private to the codec.
//
// Every reader returns false after recording the failure; the caller returns
// false at once, so the first failure decides and no partial record escapes.
#include <bit>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "codec/format.hpp"
#include "core/arena.hpp"
#include "core/tape.hpp"

namespace sarnic::codec::detail {

//! How a record looks on the wire. The keys are in declaration order, which is
//! also the order of the array form.
struct RecordShape {
  std::string_view what;                   //!< "struct FieldRef", "struct variant Operation::Update"
  std::span<const std::string_view> keys;  //!< at most 32
  std::uint8_t array_required;             //!< leading positions the array form must give
  std::uint32_t map_required;              //!< bit k set: keys[k] must be present in map form
};

//! The fields of a record body: a map, or a run of array elements. In the map
//! of a tagged union the tag key names no field, so it is skipped like any
//! unknown key.
struct RecordBody {
  std::uint32_t container;  //!< the map or array event, for errors
  std::uint32_t first;      //!< array form: first field element
  std::uint32_t count;      //!< array form: field elements given
  bool is_map;
};

inline constexpr std::string_view kTagKey = "kind";

class Decoder {
 public:
  Decoder(const Tape& tape, Arena& arena, Format format) : tape_(tape), arena_(arena), format_(format) {}

  const TapeEvent& at(std::uint32_t i) const { return tape_[i]; }
  //! Index of the value after the one at i.
  std::uint32_t next(std::uint32_t i) const { return tape_[i].end; }
  Arena& arena() { return arena_; }
  bool msgpack() const { return format_ == Format::MessagePack; }
  bool is_null(std::uint32_t i) const { return tape_[i].kind == TapeKind::Null; }

  bool read_bool(std::uint32_t i, bool& out);
  bool read_u64(std::uint32_t i, std::uint64_t& out);
  bool read_u32(std::uint32_t i, std::uint32_t& out);
  bool read_u8(std::uint32_t i, std::uint8_t& out);
  bool read_i64(std::uint32_t i, std::int64_t& out);
  bool read_f64(std::uint32_t i, double& out);
  bool read_string(std::uint32_t i, std::string_view& out);

  //! A variant named by text, or in MessagePack by position. Unknown names and
  //! positions fail unless `fallback` is given, which they then yield.
  bool read_variant(std::uint32_t i, std::span<const std::string_view> names, std::string_view what,
                    std::size_t& out, const std::size_t* fallback = nullptr);

  //! The value of the tag key of a tagged-union map: "missing field `kind`"
  //! when absent, "duplicate field `kind`" when given twice.
  bool find_tag(std::uint32_t map, std::uint32_t& value);

  //! A list allocated in the arena with its exact length; `each(element, slot)`.
  template <class T, class Each>
  bool read_list(std::uint32_t i, std::span<const T>& out, Each&& each) {
    const TapeEvent& e = tape_[i];
    if (e.kind != TapeKind::Array) return fail_type(i, "a sequence");
    std::span<T> items = arena_.alloc<T>(e.size);
    std::uint32_t element = i + 1;
    for (T& item : items) {
      if (!each(element, item)) return false;
      element = next(element);
    }
    out = items;
    return true;
  }

  //! A record in map or array form; `on_field(position, value)` per given field.
  template <class OnField>
  bool read_record(std::uint32_t i, const RecordShape& shape, OnField&& on_field) {
    const TapeEvent& e = tape_[i];
    if (e.kind == TapeKind::Map) return read_body({i, 0, 0, true}, shape, on_field);
    if (e.kind == TapeKind::Array) return read_body({i, i + 1, e.size, false}, shape, on_field);
    return fail_type(i, shape.what);
  }

  template <class OnField>
  bool read_body(const RecordBody& body, const RecordShape& shape, OnField&& on_field) {
    return body.is_map ? read_map_body(body, shape, on_field) : read_seq_body(body, shape, on_field);
  }

  // Failures: each records its message and the offending event, returns false.
  [[gnu::cold, gnu::noinline]] bool fail_type(std::uint32_t i, std::string_view expected);
  [[gnu::cold, gnu::noinline]] bool fail_value(std::uint32_t i, std::string_view expected);
  [[gnu::cold, gnu::noinline]] bool fail_length(std::uint32_t i, std::uint64_t n, std::string_view expected);
  [[gnu::cold, gnu::noinline]] bool fail_record_length(std::uint32_t i, std::uint64_t n, const RecordShape& shape);
  [[gnu::cold, gnu::noinline]] bool fail_missing(std::uint32_t i, std::string_view key);
  [[gnu::cold, gnu::noinline]] bool fail_duplicate(std::uint32_t i, std::string_view key);
  [[gnu::cold, gnu::noinline]] bool fail_unknown_variant(std::uint32_t i, std::string_view name,
                                                         std::span<const std::string_view> expected);
  [[gnu::cold, gnu::noinline]] bool fail_variant_index(std::uint32_t i, std::size_t count);

  //! The recorded message; for JSON with the position of the offending event in `input`.
  [[gnu::cold, gnu::noinline]] std::string take_error(std::string_view input);

 private:
  static constexpr int kSkipKey = -1;
  static constexpr int kBadKey = -2;

  //! An unsigned integer narrower than u64, from any encoding whose value fits.
  template <class T>
  bool read_narrow(std::uint32_t i, T& out, std::string_view what);

  //! Field position of the key at k, kSkipKey for keys that name no field.
  int match_key(std::uint32_t k, const RecordShape& shape);

  template <class OnField>
  bool read_map_body(const RecordBody& body, const RecordShape& shape, OnField& on_field) {
    std::uint32_t seen = 0;
    std::uint32_t key = body.container + 1;
    for (std::uint32_t n = tape_[body.container].size; n > 0; --n) {
      std::uint32_t value = next(key);
      int field = match_key(key, shape);
      if (field == kBadKey) return false;
      if (field >= 0) {
        std::uint32_t bit = std::uint32_t{1} << field;
        if (seen & bit) return fail_duplicate(key, shape.keys[field]);
        seen |= bit;
        if (!on_field(static_cast<unsigned>(field), value)) return false;
      }
      key = next(value);
    }
    if (std::uint32_t missing = shape.map_required & ~seen)
      return fail_missing(body.container, shape.keys[std::countr_zero(missing)]);
    return true;
  }

  template <class OnField>
  bool read_seq_body(const RecordBody& body, const RecordShape& shape, OnField& on_field) {
    if (body.count > shape.keys.size()) return fail_record_length(body.container, body.count, shape);
    std::uint32_t element = body.first;
    for (unsigned field = 0; field < body.count; ++field) {
      if (!on_field(field, element)) return false;
      element = next(element);
    }
    if (body.count < shape.array_required) return fail_record_length(body.container, body.count, shape);
    return true;
  }

  [[gnu::cold, gnu::noinline]] bool fail(std::uint32_t i, std::string message);

  const Tape& tape_;
  Arena& arena_;
  Format format_;
  std::string error_;
  std::uint64_t error_offset_ = 0;
};

//! "integer `5`", "string \"x\"", "floating point `10.0`", "map", ...: what a
//! failure message says was found.
std::string describe_found(const TapeEvent& e);

}  // namespace sarnic::codec::detail
