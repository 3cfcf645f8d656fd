// Bind values on the wire. JSON is written by hand (the exact escapes and
// double forms matter); MessagePack through msgpack-cxx's packer, except for
// doubles, which it would turn into integers when they are integral.
#include "codec/bind_writer.hpp"

#include <msgpack/pack.hpp>

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/internal_fault.hpp"

namespace sarnic::codec {
namespace {

// ---- JSON ------------------------------------------------------------------

// 0: written as is; 'u': \u00xx; otherwise the letter after the backslash.
constexpr std::array<char, 256> kJsonEscape = [] {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}();

void write_json_string(std::string& out, std::string_view s) {
  out.push_back('"');
  std::size_t run = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char e = kJsonEscape[static_cast<unsigned char>(s[i])];
    if (e == 0) continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    if (e == 'u') {
      static constexpr char kHex[] = "0123456789abcdef";
      auto c = static_cast<unsigned char>(s[i]);
      const char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(escape, 6);
    } else {
      const char escape[2] = {'\\', e};
      out.append(escape, 2);
    }
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
}

template <class Int>
void write_json_integer(std::string& out, Int v) {
  char buf[24];
  auto result = std::to_chars(buf, buf + sizeof(buf), v);
  out.append(buf, result.ptr);
}

// Shortest round-trip digits, laid out so the text always reads back as a
// float: plain decimals keep a fraction ("2.0", "0.001"), and values too large
// or too small for that use an exponent ("1e16", "5e-324").
void write_json_double(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  char sci[32];
  const char* end = std::to_chars(sci, sci + sizeof(sci), v, std::chars_format::scientific).ptr;
  const char* p = sci;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  char digits[24];
  int n = 0;
  for (; p < end && *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  int exponent = 0;
  ++p;  // 'e'
  if (*p == '+') ++p;
  std::from_chars(p, end, exponent);

  int point = exponent + 1;  // digits before the decimal point
  if (n <= point && point <= 16) {
    out.append(digits, n);
    out.append(static_cast<std::size_t>(point - n), '0');
    out += ".0";
  } else if (0 < point && point <= 16) {
    out.append(digits, point);
    out.push_back('.');
    out.append(digits + point, n - point);
  } else if (-5 < point && point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out.append(digits, n);
  } else {
    out.push_back(digits[0]);
    if (n > 1) {
      out.push_back('.');
      out.append(digits + 1, n - 1);
    }
    out.push_back('e');
    write_json_integer(out, exponent);
  }
}

template <class T, class Write>
void write_json_array(std::string& out, std::span<const T> items, Write write) {
  out.push_back('[');
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out.push_back(',');
    write(items[i]);
  }
  out.push_back(']');
}

std::size_t json_size_guess(const BindValue& v) {
  constexpr std::size_t kFrame = 40;
  switch (v.type()) {
    case BindType::Null:
    case BindType::Bool:
    case BindType::Int:
    case BindType::Float: return kFrame;
    case BindType::Text:
    case BindType::Datetime: return kFrame + v.as_text().size() + v.as_text().size() / 8;
    case BindType::Bytes: return kFrame + v.as_bytes().size() * 4;
    case BindType::FloatArray: return kFrame + v.as_float_array().size() * 20;
    case BindType::TextArray: {
      std::size_t n = kFrame;
      for (std::string_view s : v.as_text_array()) n += s.size() + 3;
      return n;
    }
    case BindType::IntArray: return kFrame + v.as_int_array().size() * 12;
  }
  return kFrame;
}

// ---- MessagePack -----------------------------------------------------------

struct StringSink {
  std::string& out;
  void write(const char* data, std::size_t size) { out.append(data, size); }
};
using Packer = msgpack::packer<StringSink>;

std::uint32_t msgpack_length(std::size_t n) {
  if (n > std::numeric_limits<std::uint32_t>::max()) internal_fault("bind value too long for MessagePack");
  return static_cast<std::uint32_t>(n);
}

void pack_string(Packer& packer, std::string_view s) {
  std::uint32_t n = msgpack_length(s.size());
  packer.pack_str(n);
  packer.pack_str_body(s.data(), n);
}

void pack_float64(std::string& out, double v) {
  auto bits = std::bit_cast<std::uint64_t>(v);
  char buf[9];
  buf[0] = static_cast<char>(0xcb);
  for (int i = 0; i < 8; ++i) buf[1 + i] = static_cast<char>(bits >> (56 - 8 * i));
  out.append(buf, 9);
}

void pack_value(std::string& out, Packer& packer, const BindValue& v) {
  packer.pack_map(v.is(BindType::Null) ? 1 : 2);
  pack_string(packer, "type");
  pack_string(packer, bind_type_name(v.type()));
  if (v.is(BindType::Null)) return;
  pack_string(packer, "value");
  switch (v.type()) {
    case BindType::Null: return;
    case BindType::Bool:
      if (v.as_bool()) {
        packer.pack_true();
      } else {
        packer.pack_false();
      }
      return;
    case BindType::Int: packer.pack_int64(v.as_int()); return;
    case BindType::Float: pack_float64(out, v.as_float()); return;
    case BindType::Text:
    case BindType::Datetime: pack_string(packer, v.as_text()); return;
    case BindType::Bytes:
      packer.pack_array(msgpack_length(v.as_bytes().size()));
      for (std::uint8_t b : v.as_bytes()) packer.pack_uint8(b);
      return;
    case BindType::FloatArray:
      packer.pack_array(msgpack_length(v.as_float_array().size()));
      for (double d : v.as_float_array()) pack_float64(out, d);
      return;
    case BindType::TextArray:
      packer.pack_array(msgpack_length(v.as_text_array().size()));
      for (std::string_view s : v.as_text_array()) pack_string(packer, s);
      return;
    case BindType::IntArray:
      packer.pack_array(msgpack_length(v.as_int_array().size()));
      for (std::int64_t i : v.as_int_array()) packer.pack_int64(i);
      return;
  }
}

}  // namespace

void write_bind_json(std::string& out, const BindValue& value) {
  out.reserve(out.size() + json_size_guess(value));
  out += "{\"type\":\"";
  out += bind_type_name(value.type());
  out.push_back('"');
  if (value.is(BindType::Null)) {
    out.push_back('}');
    return;
  }
  out += ",\"value\":";
  switch (value.type()) {
    case BindType::Null: break;
    case BindType::Bool: out += value.as_bool() ? "true" : "false"; break;
    case BindType::Int: write_json_integer(out, value.as_int()); break;
    case BindType::Float: write_json_double(out, value.as_float()); break;
    case BindType::Text:
    case BindType::Datetime: write_json_string(out, value.as_text()); break;
    case BindType::Bytes:
      write_json_array(out, value.as_bytes(), [&](std::uint8_t b) { write_json_integer(out, b); });
      break;
    case BindType::FloatArray:
      write_json_array(out, value.as_float_array(), [&](double d) { write_json_double(out, d); });
      break;
    case BindType::TextArray:
      write_json_array(out, value.as_text_array(), [&](std::string_view s) { write_json_string(out, s); });
      break;
    case BindType::IntArray:
      write_json_array(out, value.as_int_array(), [&](std::int64_t i) { write_json_integer(out, i); });
      break;
  }
  out.push_back('}');
}

void write_bind_list_msgpack(std::string& out, std::span<const BindValue> values) {
  // Roughly the JSON size: the frames are a little smaller, numbers about the same.
  std::size_t guess = 5;
  for (const BindValue& v : values) guess += json_size_guess(v);
  out.reserve(out.size() + guess);
  StringSink sink{out};
  Packer packer(sink);
  packer.pack_array(msgpack_length(values.size()));
  for (const BindValue& v : values) pack_value(out, packer, v);
}

}  // namespace sarnic::codec
