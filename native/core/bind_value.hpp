#pragma once
// A typed parameter value. 24 bytes, trivially copyable: texts and lists are
// views into the decoded document (the arena or the caller's input buffer),
// so copying a value into the parameter list never allocates.
#include <cstdint>
#include <span>
#include <string_view>

namespace sarnic {

enum class BindType : std::uint8_t {
  Null,
  Bool,
  Int,
  Float,
  Text,
  Bytes,
  Datetime,
  FloatArray,
  TextArray,
  IntArray,
};
inline constexpr std::size_t kBindTypeCount = 10;

//! The wire name of a variant ("null", "float_array", ...).
constexpr std::string_view bind_type_name(BindType t) {
  switch (t) {
    case BindType::Null: return "null";
    case BindType::Bool: return "bool";
    case BindType::Int: return "int";
    case BindType::Float: return "float";
    case BindType::Text: return "text";
    case BindType::Bytes: return "bytes";
    case BindType::Datetime: return "datetime";
    case BindType::FloatArray: return "float_array";
    case BindType::TextArray: return "text_array";
    case BindType::IntArray: return "int_array";
  }
  return "null";
}

class BindValue {
 public:
  constexpr BindValue() = default;

  static constexpr BindValue null() { return {}; }
  static constexpr BindValue boolean(bool v) { BindValue b(BindType::Bool); b.boolean_ = v; return b; }
  static constexpr BindValue integer(std::int64_t v) { BindValue b(BindType::Int); b.integer_ = v; return b; }
  static constexpr BindValue number(double v) { BindValue b(BindType::Float); b.number_ = v; return b; }
  static BindValue text(std::string_view v) { return with_span(BindType::Text, v.data(), v.size()); }
  static BindValue datetime(std::string_view v) { return with_span(BindType::Datetime, v.data(), v.size()); }
  static BindValue bytes(std::span<const std::uint8_t> v) { return with_span(BindType::Bytes, v.data(), v.size()); }
  static BindValue float_array(std::span<const double> v) { return with_span(BindType::FloatArray, v.data(), v.size()); }
  static BindValue text_array(std::span<const std::string_view> v) { return with_span(BindType::TextArray, v.data(), v.size()); }
  static BindValue int_array(std::span<const std::int64_t> v) { return with_span(BindType::IntArray, v.data(), v.size()); }

  constexpr BindType type() const { return type_; }
  constexpr bool is(BindType t) const { return type_ == t; }

  // Accessors: valid only for the matching variant(s).
  constexpr bool as_bool() const { return boolean_; }
  constexpr std::int64_t as_int() const { return integer_; }
  constexpr double as_float() const { return number_; }
  //! Text and Datetime.
  std::string_view as_text() const { return {static_cast<const char*>(span_.data), span_.size}; }
  std::span<const std::uint8_t> as_bytes() const { return {static_cast<const std::uint8_t*>(span_.data), span_.size}; }
  std::span<const double> as_float_array() const { return {static_cast<const double*>(span_.data), span_.size}; }
  std::span<const std::string_view> as_text_array() const {
    return {static_cast<const std::string_view*>(span_.data), span_.size};
  }
  std::span<const std::int64_t> as_int_array() const { return {static_cast<const std::int64_t*>(span_.data), span_.size}; }

 private:
  constexpr explicit BindValue(BindType t) : type_(t) {}
  static BindValue with_span(BindType t, const void* data, std::size_t size) {
    BindValue b(t);
    b.span_ = {data, size};
    return b;
  }

  struct RawSpan {
    const void* data;
    std::size_t size;
  };
  BindType type_ = BindType::Null;
  union {
    bool boolean_;
    std::int64_t integer_ = 0;
    double number_;
    RawSpan span_;
  };
};

}  // namespace sarnic
