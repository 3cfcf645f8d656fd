// BindValue: {"type": name, "value": payload} in any key order, or [type, value].
#include <cstdint>
#include <string_view>

#include "codec/decode_records.hpp"

namespace sarnic::codec::detail {

namespace {

constexpr std::string_view kBindValueWhat = "adjacently tagged enum BindValue";

enum class BindKey : std::uint8_t { Type, Value, Other };

BindKey bind_key(const TapeEvent& key) {
  if (key.kind != TapeKind::String && key.kind != TapeKind::Binary) return BindKey::Other;
  std::string_view text = key.text();
  if (text == "type") return BindKey::Type;
  if (text == "value") return BindKey::Value;
  return BindKey::Other;
}

bool decode_payload(Decoder& d, BindType type, std::uint32_t value, BindValue& out) {
  switch (type) {
    case BindType::Null:
      out = BindValue::null();
      return true;
    case BindType::Bool: {
      bool v = false;
      if (!d.read_bool(value, v)) return false;
      out = BindValue::boolean(v);
      return true;
    }
    case BindType::Int: {
      std::int64_t v = 0;
      if (!d.read_i64(value, v)) return false;
      out = BindValue::integer(v);
      return true;
    }
    case BindType::Float: {
      double v = 0;
      if (!d.read_f64(value, v)) return false;
      out = BindValue::number(v);
      return true;
    }
    case BindType::Text:
    case BindType::Datetime: {
      std::string_view v;
      if (!d.read_string(value, v)) return false;
      out = type == BindType::Text ? BindValue::text(v) : BindValue::datetime(v);
      return true;
    }
    case BindType::Bytes: {
      std::span<const std::uint8_t> v;
      if (!decode_list(d, value, v, &Decoder::read_u8)) return false;
      out = BindValue::bytes(v);
      return true;
    }
    case BindType::FloatArray: {
      std::span<const double> v;
      if (!decode_list(d, value, v, &Decoder::read_f64)) return false;
      out = BindValue::float_array(v);
      return true;
    }
    case BindType::TextArray: {
      std::span<const std::string_view> v;
      if (!decode_list(d, value, v, &Decoder::read_string)) return false;
      out = BindValue::text_array(v);
      return true;
    }
    case BindType::IntArray: {
      std::span<const std::int64_t> v;
      if (!decode_list(d, value, v, &Decoder::read_i64)) return false;
      out = BindValue::int_array(v);
      return true;
    }
  }
  return true;
}

}  // namespace

bool decode_bind_value(Decoder& d, std::uint32_t i, BindValue& out) {
  const TapeEvent& e = d.at(i);
  std::size_t type = 0;
  std::uint32_t value = 0;
  bool has_value = false;
  if (e.kind == TapeKind::Map) {
    bool has_type = false;
    std::uint32_t key = i + 1;
    for (std::uint32_t n = e.size; n > 0; --n) {
      std::uint32_t v = d.next(key);
      switch (bind_key(d.at(key))) {
        case BindKey::Type:
          if (has_type) return d.fail_duplicate(key, "type");
          if (!d.read_variant(v, kBindTypeNames, "variant identifier", type)) return false;
          has_type = true;
          break;
        case BindKey::Value:
          if (has_value) return d.fail_duplicate(key, "value");
          value = v;
          has_value = true;
          break;
        case BindKey::Other:
          break;
      }
      key = d.next(v);
    }
    if (!has_type) return d.fail_missing(i, "type");
  } else if (e.kind == TapeKind::Array) {
    if (e.size != 2) return d.fail_length(i, e.size, kBindValueWhat);
    if (!d.read_variant(i + 1, kBindTypeNames, "variant identifier", type)) return false;
    value = d.next(i + 1);
    has_value = true;
  } else {
    return d.fail_type(i, kBindValueWhat);
  }

  const auto bind_type = static_cast<BindType>(type);
  if (bind_type == BindType::Null) {
    // The null variant carries nothing: its value may be left out, or be null.
    if (has_value && !d.is_null(value)) return d.fail_type(value, "unit variant BindValue::Null");
  } else if (!has_value) {
    return d.fail_missing(i, "value");
  }
  return decode_payload(d, bind_type, value, out);
}

}  // namespace sarnic::codec::detail
