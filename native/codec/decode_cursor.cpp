// Scalar readers and every record-level message of the typed decoder.
#include "codec/decode_cursor.hpp"

#include <charconv>
#include <cmath>
#include <limits>

#include "codec/reader.hpp"
#include "core/error.hpp"

namespace sarnic::codec::detail {

namespace {

constexpr std::uint64_t kI64Max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// Shortest text that reads back to the same double; integral values keep ".0".
void append_double(std::string& out, double d) {
  if (std::isnan(d)) {
    out += "NaN";
    return;
  }
  if (std::isinf(d)) {
    out += d < 0 ? "-inf" : "inf";
    return;
  }
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  std::string_view text(buf, ec == std::errc{} ? static_cast<std::size_t>(end - buf) : 0);
  out += text;
  if (text.find_first_of(".eEn") == std::string_view::npos) out += ".0";
}

}  // namespace

std::string describe_found(const TapeEvent& e) {
  switch (e.kind) {
    case TapeKind::Null: return "null";
    case TapeKind::False: return "boolean `false`";
    case TapeKind::True: return "boolean `true`";
    case TapeKind::UInt: return "integer `" + std::to_string(e.u) + "`";
    case TapeKind::Int: return "integer `" + std::to_string(e.i) + "`";
    case TapeKind::Double: {
      std::string out = "floating point `";
      append_double(out, e.d);
      out += '`';
      return out;
    }
    case TapeKind::String: return "string " + quoted_form(e.text());
    case TapeKind::Binary: return "byte array";
    case TapeKind::Extension: return "extension";
    case TapeKind::Array: return "sequence";
    case TapeKind::Map: return "map";
  }
  return "value";
}

bool Decoder::fail(std::uint32_t i, std::string message) {
  error_ = std::move(message);
  error_offset_ = tape_[i].offset;
  return false;
}

bool Decoder::fail_type(std::uint32_t i, std::string_view expected) {
  return fail(i, "invalid type: " + describe_found(tape_[i]) + ", expected " + std::string(expected));
}

bool Decoder::fail_value(std::uint32_t i, std::string_view expected) {
  return fail(i, "invalid value: " + describe_found(tape_[i]) + ", expected " + std::string(expected));
}

bool Decoder::fail_length(std::uint32_t i, std::uint64_t n, std::string_view expected) {
  return fail(i, "invalid length " + std::to_string(n) + ", expected " + std::string(expected));
}

bool Decoder::fail_record_length(std::uint32_t i, std::uint64_t n, const RecordShape& shape) {
  const std::size_t count = shape.keys.size();
  return fail_length(i, n,
                     std::string(shape.what) + " with " + std::to_string(count) + (count == 1 ? " element" : " elements"));
}

bool Decoder::fail_missing(std::uint32_t i, std::string_view key) {
  return fail(i, "missing field `" + std::string(key) + "`");
}

bool Decoder::fail_duplicate(std::uint32_t i, std::string_view key) {
  return fail(i, "duplicate field `" + std::string(key) + "`");
}

bool Decoder::fail_unknown_variant(std::uint32_t i, std::string_view name, std::span<const std::string_view> expected) {
  std::string message = "unknown variant `" + std::string(name) + "`, expected one of ";
  for (std::size_t k = 0; k < expected.size(); ++k) {
    if (k > 0) message += ", ";
    message += '`';
    message += expected[k];
    message += '`';
  }
  return fail(i, std::move(message));
}

bool Decoder::fail_variant_index(std::uint32_t i, std::size_t count) {
  return fail_value(i, "variant index 0 <= i < " + std::to_string(count));
}

std::string Decoder::take_error(std::string_view input) {
  if (format_ == Format::Json) error_ += json_position_suffix(input, error_offset_);
  return std::move(error_);
}

bool Decoder::read_bool(std::uint32_t i, bool& out) {
  switch (tape_[i].kind) {
    case TapeKind::True: out = true; return true;
    case TapeKind::False: out = false; return true;
    default: return fail_type(i, "a boolean");
  }
}

// Integer readers take any encoding whose value fits; a number written as a
// float is a type error even when integral.
bool Decoder::read_u64(std::uint32_t i, std::uint64_t& out) {
  const TapeEvent& e = tape_[i];
  if (e.kind == TapeKind::UInt) {
    out = e.u;
    return true;
  }
  if (e.kind == TapeKind::Int) {
    if (e.i < 0) return fail_value(i, "u64");
    out = static_cast<std::uint64_t>(e.i);
    return true;
  }
  return fail_type(i, "u64");
}

template <class T>
bool Decoder::read_narrow(std::uint32_t i, T& out, std::string_view what) {
  constexpr std::uint64_t kMax = std::numeric_limits<T>::max();
  const TapeEvent& e = tape_[i];
  if (e.kind != TapeKind::UInt && e.kind != TapeKind::Int) return fail_type(i, what);
  if (e.kind == TapeKind::Int ? (e.i < 0 || static_cast<std::uint64_t>(e.i) > kMax) : e.u > kMax)
    return fail_value(i, what);
  out = static_cast<T>(e.kind == TapeKind::Int ? static_cast<std::uint64_t>(e.i) : e.u);
  return true;
}

bool Decoder::read_u32(std::uint32_t i, std::uint32_t& out) { return read_narrow(i, out, "u32"); }
bool Decoder::read_u8(std::uint32_t i, std::uint8_t& out) { return read_narrow(i, out, "u8"); }

bool Decoder::read_i64(std::uint32_t i, std::int64_t& out) {
  const TapeEvent& e = tape_[i];
  if (e.kind == TapeKind::Int) {
    out = e.i;
    return true;
  }
  if (e.kind == TapeKind::UInt) {
    if (e.u > kI64Max) return fail_value(i, "i64");
    out = static_cast<std::int64_t>(e.u);
    return true;
  }
  return fail_type(i, "i64");
}

bool Decoder::read_f64(std::uint32_t i, double& out) {
  const TapeEvent& e = tape_[i];
  switch (e.kind) {
    case TapeKind::Double: out = e.d; return true;
    case TapeKind::UInt: out = static_cast<double>(e.u); return true;
    case TapeKind::Int: out = static_cast<double>(e.i); return true;
    default: return fail_type(i, "f64");
  }
}

bool Decoder::read_string(std::uint32_t i, std::string_view& out) {
  const TapeEvent& e = tape_[i];
  if (e.kind != TapeKind::String) return fail_type(i, "a string");
  out = e.text();
  return true;
}

bool Decoder::read_variant(std::uint32_t i, std::span<const std::string_view> names, std::string_view what,
                           std::size_t& out, const std::size_t* fallback) {
  const TapeEvent& e = tape_[i];
  if (e.kind == TapeKind::String) {
    std::string_view text = e.text();
    for (std::size_t k = 0; k < names.size(); ++k) {
      if (names[k] == text) {
        out = k;
        return true;
      }
    }
    if (fallback) {
      out = *fallback;
      return true;
    }
    return fail_unknown_variant(i, text, names);
  }
  // MessagePack may name a variant by its position.
  if (msgpack() && (e.kind == TapeKind::UInt || e.kind == TapeKind::Int)) {
    if (e.kind == TapeKind::UInt ? e.u < names.size() : (e.i >= 0 && static_cast<std::uint64_t>(e.i) < names.size())) {
      out = e.kind == TapeKind::UInt ? e.u : static_cast<std::size_t>(e.i);
      return true;
    }
    if (fallback) {
      out = *fallback;
      return true;
    }
    return fail_variant_index(i, names.size());
  }
  return fail_type(i, what);
}

bool Decoder::find_tag(std::uint32_t map, std::uint32_t& value) {
  bool found = false;
  std::uint32_t key = map + 1;
  for (std::uint32_t n = tape_[map].size; n > 0; --n) {
    const TapeEvent& k = tape_[key];
    if ((k.kind == TapeKind::String || k.kind == TapeKind::Binary) && k.text() == kTagKey) {
      if (found) return fail_duplicate(key, kTagKey);
      found = true;
      value = next(key);
    }
    key = next(next(key));
  }
  if (!found) return fail_missing(map, kTagKey);
  return true;
}

int Decoder::match_key(std::uint32_t k, const RecordShape& shape) {
  const TapeEvent& e = tape_[k];
  switch (e.kind) {
    case TapeKind::String:
    case TapeKind::Binary: {
      std::string_view text = e.text();
      for (std::size_t f = 0; f < shape.keys.size(); ++f)
        if (shape.keys[f] == text) return static_cast<int>(f);
      return kSkipKey;
    }
    case TapeKind::UInt:
      // A MessagePack key may be the field's position; a position past the
      // last field names no field.
      return e.u < shape.keys.size() ? static_cast<int>(e.u) : kSkipKey;
    default:
      fail_type(k, "field identifier");
      return kBadKey;
  }
}

}  // namespace sarnic::codec::detail
