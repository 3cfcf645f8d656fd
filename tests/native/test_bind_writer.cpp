// Bind values written as JSON text and as a MessagePack list: exact bytes.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "codec/bind_writer.hpp"

namespace sarnic::codec {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  for (unsigned char c : bytes) {
    s += kDigits[c >> 4];
    s += kDigits[c & 0xF];
  }
  return s;
}

std::string hex_of_text(std::string_view text) { return hex(text); }

std::string json(const BindValue& v) {
  std::string out;
  write_bind_json(out, v);
  return out;
}

std::string msgpack_hex(std::span<const BindValue> values) {
  std::string out;
  write_bind_list_msgpack(out, values);
  return hex(out);
}

// 82 a4 "type" <name as fixstr> a5 "value" <payload>; 81 ... for null.
std::string frame(std::string_view type, std::string_view payload_hex) {
  std::string s = payload_hex.empty() ? "81" : "82";
  s += "a4" + hex_of_text("type");
  s += hex(std::string(1, static_cast<char>(0xa0 | type.size()))) + hex_of_text(type);
  if (!payload_hex.empty()) s += "a5" + hex_of_text("value") + std::string(payload_hex);
  return s;
}

const std::uint8_t kBytes[] = {0, 1, 127, 128, 255};
const double kFloats[] = {0.5, 2.25, kNan, -0.0, 1e300};
const std::string_view kTexts[] = {"a", "", "q\"uote"};
const std::int64_t kInts[] = {0, -1, 200, kMin64};

struct Case {
  BindValue value;
  std::string expected;
};

TEST(BindJson, EachVariant) {
  const Case cases[] = {
      {BindValue::null(), R"({"type":"null"})"},
      {BindValue::boolean(true), R"({"type":"bool","value":true})"},
      {BindValue::boolean(false), R"({"type":"bool","value":false})"},
      {BindValue::integer(42), R"({"type":"int","value":42})"},
      {BindValue::integer(kMin64), R"({"type":"int","value":-9223372036854775808})"},
      {BindValue::integer(kMax64), R"({"type":"int","value":9223372036854775807})"},
      {BindValue::number(2.0), R"({"type":"float","value":2.0})"},
      {BindValue::number(kNan), R"({"type":"float","value":null})"},
      {BindValue::number(-kInf), R"({"type":"float","value":null})"},
      {BindValue::text("abc"), R"({"type":"text","value":"abc"})"},
      {BindValue::datetime("2024-01-02T03:04:05Z"), R"({"type":"datetime","value":"2024-01-02T03:04:05Z"})"},
      {BindValue::bytes(kBytes), R"({"type":"bytes","value":[0,1,127,128,255]})"},
      {BindValue::bytes({}), R"({"type":"bytes","value":[]})"},
      {BindValue::float_array(kFloats), R"({"type":"float_array","value":[0.5,2.25,null,-0.0,1e300]})"},
      {BindValue::text_array(kTexts), R"({"type":"text_array","value":["a","","q\"uote"]})"},
      {BindValue::int_array(kInts), R"({"type":"int_array","value":[0,-1,200,-9223372036854775808]})"},
      {BindValue::int_array({}), R"({"type":"int_array","value":[]})"},
  };
  for (const Case& c : cases) EXPECT_EQ(json(c.value), c.expected);
}

TEST(BindJson, StringEscapes) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"\"\\", R"("\"\\")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string_view("\0\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x1b[0m", R"("\u001b[0m")"},
      {"/\x7f", "\"/\x7f\""},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xF0\x9F\x98\x80\""},
      {"plain text", R"("plain text")"},
  };
  for (auto [text, expected] : cases) {
    EXPECT_EQ(json(BindValue::text(text)), R"({"type":"text","value":)" + std::string(expected) + "}");
  }
}

TEST(BindJson, DoubleForms) {
  const std::pair<double, std::string_view> cases[] = {
      {2.0, "2.0"},         {0.1, "0.1"},
      {-0.0, "-0.0"},       {0.0, "0.0"},
      {1e300, "1e300"},     {5e-324, "5e-324"},
      {-1.5, "-1.5"},       {123.456, "123.456"},
      {1e15, "1000000000000000.0"}, {1e16, "1e16"},
      {1.5e16, "1.5e16"},   {0.001, "0.001"},
      {1e-5, "0.00001"},    {1.5e-6, "1.5e-6"},
      {100000.0, "100000.0"}, {1.7976931348623157e308, "1.7976931348623157e308"},
      {9007199254740993.0, "9007199254740992.0"}, {2.2250738585072014e-308, "2.2250738585072014e-308"},
  };
  for (auto [value, expected] : cases) {
    EXPECT_EQ(json(BindValue::number(value)), R"({"type":"float","value":)" + std::string(expected) + "}");
  }
}

// Every finite double must come back bit for bit and read as a float (a
// fraction or an exponent), whatever its magnitude.
TEST(BindJson, DoublesRoundTrip) {
  std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  for (int n = 0; n < 20000; ++n) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    double value = std::bit_cast<double>(state);
    if (!std::isfinite(value)) continue;
    std::string text = json(BindValue::number(value));
    std::string_view number = text;
    number.remove_prefix(std::string_view(R"({"type":"float","value":)").size());
    number.remove_suffix(1);
    ASSERT_NE(number.find_first_of(".e"), std::string_view::npos) << number;
    ASSERT_EQ(number.find('+'), std::string_view::npos) << number;
    double back = 0;
    auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), back);
    ASSERT_EQ(ec, std::errc()) << number;
    ASSERT_EQ(ptr, number.data() + number.size()) << number;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value)) << number;
  }
}

TEST(BindJson, AppendsToTheOutput) {
  std::string out = "[";
  write_bind_json(out, BindValue::integer(1));
  out += ',';
  write_bind_json(out, BindValue::null());
  EXPECT_EQ(out, R"([{"type":"int","value":1},{"type":"null"})");
}

TEST(BindMessagePack, ShortestIntegers) {
  const std::pair<std::int64_t, std::string_view> cases[] = {
      {0, "00"},
      {0x7f, "7f"},
      {128, "cc80"},
      {200, "ccc8"},
      {255, "ccff"},
      {256, "cd0100"},
      {65535, "cdffff"},
      {65536, "ce00010000"},
      {4294967295, "ceffffffff"},
      {4294967296, "cf0000000100000000"},
      {kMax64, "cf7fffffffffffffff"},
      {-1, "ff"},
      {-32, "e0"},
      {-33, "d0df"},
      {-128, "d080"},
      {-129, "d1ff7f"},
      {-32768, "d18000"},
      {-32769, "d2ffff7fff"},
      {-2147483648LL, "d280000000"},
      {-2147483649LL, "d3ffffffff7fffffff"},
      {kMin64, "d38000000000000000"},
  };
  for (auto [value, payload] : cases) {
    BindValue v = BindValue::integer(value);
    EXPECT_EQ(msgpack_hex({&v, 1}), "91" + frame("int", payload)) << value;
  }
}

TEST(BindMessagePack, EachVariant) {
  std::string s31(31, 'x'), s32(32, 'x'), s40(40, 'x'), s255(255, 'x'), s256(256, 'x'), s65536(65536, 'x');
  const Case cases[] = {
      {BindValue::null(), frame("null", "")},
      {BindValue::boolean(false), frame("bool", "c2")},
      {BindValue::boolean(true), frame("bool", "c3")},
      {BindValue::number(2.0), frame("float", "cb4000000000000000")},
      {BindValue::number(0.0), frame("float", "cb0000000000000000")},
      {BindValue::number(-0.0), frame("float", "cb8000000000000000")},
      {BindValue::number(1.5), frame("float", "cb3ff8000000000000")},
      {BindValue::number(kNan), frame("float", "cb7ff8000000000000")},
      {BindValue::number(kInf), frame("float", "cb7ff0000000000000")},
      {BindValue::number(18446744073709551616.0), frame("float", "cb43f0000000000000")},
      {BindValue::text(""), frame("text", "a0")},
      {BindValue::text("hi"), frame("text", "a26869")},
      {BindValue::text(s31), frame("text", "bf" + hex(s31))},
      {BindValue::text(s32), frame("text", "d920" + hex(s32))},
      {BindValue::text(s40), frame("text", "d928" + hex(s40))},
      {BindValue::text(s255), frame("text", "d9ff" + hex(s255))},
      {BindValue::text(s256), frame("text", "da0100" + hex(s256))},
      {BindValue::text(s65536), frame("text", "db00010000" + hex(s65536))},
      {BindValue::datetime("2024"), frame("datetime", "a4" + hex("2024"))},
      {BindValue::bytes(kBytes), frame("bytes", "95 00 01 7f cc80 ccff")},
      {BindValue::bytes({}), frame("bytes", "90")},
      {BindValue::float_array(kFloats),
       frame("float_array",
             "95 cb3fe0000000000000 cb4002000000000000 cb7ff8000000000000 cb8000000000000000 cb7e37e43c8800759c")},
      {BindValue::text_array(kTexts), frame("text_array", "93 a161 a0 a6" + hex("q\"uote"))},
      {BindValue::int_array(kInts), frame("int_array", "94 00 ff ccc8 d38000000000000000")},
  };
  for (const Case& c : cases) {
    std::string expected = "91" + c.expected;
    std::erase(expected, ' ');
    EXPECT_EQ(msgpack_hex({&c.value, 1}), expected) << json(c.value).substr(0, 60);
  }
}

TEST(BindMessagePack, ListHeaders) {
  EXPECT_EQ(msgpack_hex({}), "90");
  EXPECT_EQ(frame("null", ""), "81a474797065a46e756c6c");

  std::vector<BindValue> values(16, BindValue::null());
  EXPECT_EQ(msgpack_hex(values).substr(0, 6), "dc0010");
  values.resize(15);
  EXPECT_EQ(msgpack_hex(values).substr(0, 2), "9f");

  const BindValue pair[] = {BindValue::integer(1), BindValue::text("a")};
  EXPECT_EQ(msgpack_hex(pair), "92" + frame("int", "01") + frame("text", "a161"));

  std::string out = "\x01";
  write_bind_list_msgpack(out, {});
  EXPECT_EQ(hex(out), "0190");
}

}  // namespace
}  // namespace sarnic::codec
