#include "core/error.hpp"

#include <charconv>
#include <type_traits>
#include <utility>

#include "core/compile.hpp"

namespace sarnic {
namespace {

void append_number(std::string& out, std::uint64_t value) {
  char buf[20];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  (void)ec;  // 20 digits always suffice for 64 bits
  out.append(buf, end);
}

void append_hex(std::string& out, std::uint32_t value) {
  char buf[8];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, 16);
  (void)ec;
  out.append("\\u{");
  out.append(buf, end);
  out.push_back('}');
}

// Concatenates pieces with one reservation.
template <class... Pieces>
std::string concat(const Pieces&... pieces) {
  std::string out;
  out.reserve((std::string_view(pieces).size() + ...));
  (out.append(std::string_view(pieces)), ...);
  return out;
}

// Length of the well-formed UTF-8 sequence at `s[i]` and its code point, or 0
// when the bytes there are not well formed (overlong, surrogate, truncated,
// beyond U+10FFFF).
std::size_t decode_utf8(std::string_view s, std::size_t i, std::uint32_t& cp) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // valid range of the second byte
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() - i < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const unsigned char b = byte(i + k);
    if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  return len;
}

// ASCII and C1 control characters.
bool is_control(std::uint32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

}  // namespace

std::string quoted_form(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    std::uint32_t cp = 0;
    const std::size_t len = decode_utf8(text, i, cp);
    if (len == 0) {
      append_hex(out, static_cast<unsigned char>(text[i]));
      ++i;
      continue;
    }
    switch (cp) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\t': out.append("\\t"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case 0: out.append("\\0"); break;
      default:
        if (is_control(cp)) {
          append_hex(out, cp);
        } else {
          out.append(text.substr(i, len));
        }
    }
    i += len;
  }
  out.push_back('"');
  return out;
}

std::string CompileError::render() const {
  return std::visit(
      [](const auto& e) -> std::string {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, UnknownField>) {
          return concat("unknown field '", e.field, "' on model '", e.model, "'");
        } else if constexpr (std::is_same_v<T, UnsupportedOperator>) {
          return concat("unsupported operator '", e.op, "' for field '", e.field, "' on model '", e.model, "'");
        } else if constexpr (std::is_same_v<T, InvalidSortDirection>) {
          return concat("invalid sort direction '", e.direction, "' for field '", e.field, "' on model '", e.model,
                        "'");
        } else if constexpr (std::is_same_v<T, UnsupportedVersion>) {
          std::string out = "IR version ";
          append_number(out, e.got);
          out.append(" is not supported (expected ");
          append_number(out, e.expected);
          out.push_back(')');
          return out;
        } else if constexpr (std::is_same_v<T, MalformedIr>) {
          return concat("malformed IR: ", e.message);
        } else {
          static_assert(std::is_same_v<T, UnscopedMutation>);
          return concat("operation '", e.operation, "' on model '", e.model,
                        "' requires at least one filter; use the danger API for unscoped mutations");
        }
      },
      detail);
}

std::string HydrateError::render() const {
  return std::visit(
      [](const auto& e) -> std::string {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, MissingColumn>) {
          return concat("column '", e.column, "' missing from result set for model '", e.model, "'");
        } else {
          static_assert(std::is_same_v<T, NullInNonNullable>);
          return concat("non-nullable column '", e.column, "' on model '", e.model, "' contains NULL");
        }
      },
      detail);
}

CompileError unknown_field(std::string_view model, std::string_view field) {
  return {UnknownField{std::string(model), std::string(field)}};
}

CompileError unsupported_operator(std::string_view model, std::string_view field, std::string_view op) {
  return {UnsupportedOperator{std::string(model), std::string(field), std::string(op)}};
}

CompileError invalid_sort_direction(std::string_view model, std::string_view field) {
  return {InvalidSortDirection{std::string(model), std::string(field), "unknown"}};
}

CompileError unsupported_version(std::uint32_t got) {
  return {UnsupportedVersion{SUPPORTED_IR_VERSION, got}};
}

CompileError unsupported_version(std::uint32_t got, std::uint32_t expected) {
  return {UnsupportedVersion{expected, got}};
}

CompileError malformed_ir(std::string message) { return {MalformedIr{std::move(message)}}; }

CompileError unscoped_mutation(std::string_view model, std::string_view operation) {
  return {UnscopedMutation{std::string(model), std::string(operation)}};
}

HydrateError missing_column(std::string_view model, std::string_view column) {
  return {MissingColumn{std::string(model), std::string(column)}};
}

HydrateError null_in_non_nullable(std::string_view model, std::string_view column) {
  return {NullInNonNullable{std::string(model), std::string(column)}};
}

}  // namespace sarnic
