// JSON and MessagePack readers: tape shapes, number classification, limits,
// error texts and offsets.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "codec/reader.hpp"

namespace sarnic::codec {
namespace {

std::string from_hex(std::string_view hex) {
  std::string out;
  int high = -1;
  for (char c : hex) {
    int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<char>(high * 16 + v));
      high = -1;
    }
  }
  return out;
}

// One token per event: u1 i-2 d1.5 'text' bin2 ext5:3 null true false, and
// containers as [count>end / {count>end. A scalar whose end is wrong gets "!".
std::string render(const Tape& tape) {
  std::string s;
  for (std::size_t i = 0; i < tape.size(); ++i) {
    const TapeEvent& e = tape[i];
    if (i) s += ' ';
    switch (e.kind) {
      case TapeKind::Null: s += "null"; break;
      case TapeKind::False: s += "false"; break;
      case TapeKind::True: s += "true"; break;
      case TapeKind::UInt: s += 'u'; s += std::to_string(e.u); break;
      case TapeKind::Int: s += 'i'; s += std::to_string(e.i); break;
      case TapeKind::Double: {
        char buf[32];
        s += 'd';
        s.append(buf, std::to_chars(buf, buf + sizeof(buf), e.d).ptr);
        break;
      }
      case TapeKind::String: s += '\''; s += e.text(); s += '\''; break;
      case TapeKind::Binary: s += "bin"; s += std::to_string(e.size); break;
      case TapeKind::Extension:
        s += "ext";
        s += std::to_string(static_cast<signed char>(e.str[-1]));
        s += ':';
        s += std::to_string(e.size);
        break;
      case TapeKind::Array: s += '['; s += std::to_string(e.size); s += '>'; s += std::to_string(e.end); break;
      case TapeKind::Map: s += '{'; s += std::to_string(e.size); s += '>'; s += std::to_string(e.end); break;
    }
    if (!e.is_container() && e.end != i + 1) s += '!';
  }
  return s;
}

std::string read_json_render(std::string_view text) {
  Arena arena;
  Tape tape;
  auto result = read_json(text, arena, tape);
  return result ? render(tape) : "error: " + result.error().message;
}

std::string read_msgpack_render(const std::string& bytes) {
  Tape tape;
  auto result = read_msgpack(bytes, tape);
  return result ? render(tape) : "error: " + result.error().message;
}

// The same document in both encodings gives the same tape.
struct ShapeCase {
  const char* json;
  const char* msgpack_hex;
  const char* tape;
};

void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.json; }

class TapeShape : public testing::TestWithParam<ShapeCase> {};

TEST_P(TapeShape, Json) { EXPECT_EQ(read_json_render(GetParam().json), GetParam().tape); }
TEST_P(TapeShape, MessagePack) {
  EXPECT_EQ(read_msgpack_render(from_hex(GetParam().msgpack_hex)), GetParam().tape);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, TapeShape,
    testing::Values(ShapeCase{"null", "c0", "null"}, ShapeCase{"\"\"", "a0", "''"},
                    ShapeCase{"[]", "90", "[0>1"}, ShapeCase{"{}", "80", "{0>1"},
                    ShapeCase{R"({"a":[1,-2,1.5,"x",true,false,null]})",
                              "81 a161 97 01 fe cb3ff8000000000000 a178 c3 c2 c0",
                              "{1>10 'a' [7>10 u1 i-2 d1.5 'x' true false null"},
                    ShapeCase{"[[],[[]],{}]", "93 90 91 90 80", "[3>5 [0>2 [1>4 [0>4 {0>5"},
                    ShapeCase{R"({"k":{"k":"v"},"n":[null]})", "82 a16b 81 a16b a176 a16e 91 c0",
                              "{2>8 'k' {1>5 'k' 'v' 'n' [1>8 null"},
                    ShapeCase{R"([{"a":1},{"b":2}])", "92 81 a161 01 81 a162 02",
                              "[2>7 {1>4 'a' u1 {1>7 'b' u2"}));

// Integers that fit u64 are unsigned, negative ones that fit i64 signed, and
// everything else a double; "-0" is the unsigned zero.
struct NumberCase {
  const char* text;
  const char* tape;
};

void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.text; }

class JsonNumber : public testing::TestWithParam<NumberCase> {};

TEST_P(JsonNumber, Classified) { EXPECT_EQ(read_json_render(GetParam().text), GetParam().tape); }

INSTANTIATE_TEST_SUITE_P(
    Bounds, JsonNumber,
    testing::Values(NumberCase{"0", "u0"}, NumberCase{"-0", "u0"}, NumberCase{"-0.0", "d-0"},
                    NumberCase{"4294967295", "u4294967295"}, NumberCase{"4294967296", "u4294967296"},
                    NumberCase{"-2147483648", "i-2147483648"}, NumberCase{"-2147483649", "i-2147483649"},
                    NumberCase{"18446744073709551615", "u18446744073709551615"},
                    NumberCase{"18446744073709551616", "d18446744073709551616"},
                    NumberCase{"-9223372036854775808", "i-9223372036854775808"},
                    NumberCase{"-9223372036854775809", "d-9223372036854775808"},
                    NumberCase{"1.0", "d1"}, NumberCase{"1e2", "d100"}, NumberCase{"10E-1", "d1"},
                    NumberCase{"0.1", "d0.1"}, NumberCase{"1e-400", "d0"},
                    NumberCase{"2.2250738585072011e-308", "d2.225073858507201e-308"},
                    NumberCase{"1.7976931348623157e308", "d1.7976931348623157e+308"}));

class MessagePackScalar : public testing::TestWithParam<NumberCase> {};

TEST_P(MessagePackScalar, Read) { EXPECT_EQ(read_msgpack_render(from_hex(GetParam().text)), GetParam().tape); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, MessagePackScalar,
    testing::Values(NumberCase{"7f", "u127"}, NumberCase{"e0", "i-32"}, NumberCase{"ff", "i-1"},
                    NumberCase{"cc ff", "u255"}, NumberCase{"cf ffffffffffffffff", "u18446744073709551615"},
                    NumberCase{"d0 05", "u5"},  // signed encodings may carry non-negative values
                    NumberCase{"d3 7fffffffffffffff", "u9223372036854775807"},
                    NumberCase{"d3 8000000000000000", "i-9223372036854775808"},
                    NumberCase{"ca 3fc00000", "d1.5"}, NumberCase{"cb 7ff8000000000000", "dnan"},
                    NumberCase{"cb fff0000000000000", "d-inf"}, NumberCase{"ca 7f800000", "dinf"},
                    NumberCase{"c4 02 0102", "bin2"}, NumberCase{"c4 00", "bin0"},
                    NumberCase{"d4 05 01", "ext5:1"}, NumberCase{"c7 03 ff 010203", "ext-1:3"},
                    NumberCase{"d8 01 00000000000000000000000000000000", "ext1:16"},
                    NumberCase{"d9 00", "''"}, NumberCase{"da 0002 6869", "'hi'"},
                    NumberCase{"dc 0001 c3", "[1>2 true"}, NumberCase{"df 00000001 a0 c2", "{1>3 '' false"}));

TEST(JsonReader, OffsetsPointAtTheStartOfEachValue) {
  Arena arena;
  Tape tape;
  std::string text = "[1, \"ab\", {\"k\": -2.5e1}, null,\n  true, false, 77]";
  ASSERT_TRUE(read_json(text, arena, tape));
  std::vector<std::uint64_t> offsets;
  for (const TapeEvent& e : tape) offsets.push_back(e.offset);
  EXPECT_EQ(offsets, (std::vector<std::uint64_t>{0, 1, 4, 10, 11, 16, 25, 33, 39, 46}));
}

TEST(MessagePackReader, OffsetsPointAtTheStartOfEachValue) {
  Tape tape;
  std::string bytes = from_hex("95 01 a2 6162 81 a1 6b cb 4000000000000000 c0 d4 01 ff");
  ASSERT_TRUE(read_msgpack(bytes, tape));
  std::vector<std::uint64_t> offsets;
  for (const TapeEvent& e : tape) offsets.push_back(e.offset);
  EXPECT_EQ(offsets, (std::vector<std::uint64_t>{0, 1, 2, 5, 6, 8, 17, 18}));
}

TEST(JsonReader, StringsViewTheDecodedArenaCopy) {
  Arena arena;
  Tape tape;
  std::string text = R"(["a\nb", "\u0000", "\ud83d\ude00", "\u00e9t\u00E9", "plain"])";
  ASSERT_TRUE(read_json(text, arena, tape));
  ASSERT_EQ(tape.size(), 6u);
  EXPECT_EQ(tape[1].text(), "a\nb");
  EXPECT_EQ(tape[2].text(), std::string_view("\0", 1));
  EXPECT_EQ(tape[3].text(), "\xF0\x9F\x98\x80");
  EXPECT_EQ(tape[4].text(), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(tape[5].text(), "plain");
  for (std::size_t i = 1; i < tape.size(); ++i) {
    EXPECT_FALSE(tape[i].str >= text.data() && tape[i].str < text.data() + text.size()) << i;
  }
}

TEST(MessagePackReader, StringsViewTheInputBytes) {
  Tape tape;
  std::string bytes = from_hex("92 a3 616263 c4 02 0102");
  ASSERT_TRUE(read_msgpack(bytes, tape));
  EXPECT_EQ(tape[1].str, bytes.data() + 2);
  EXPECT_EQ(tape[2].str, bytes.data() + 7);
}

TEST(Readers, TapeIsReplacedNotAppended) {
  Arena arena;
  Tape tape;
  ASSERT_TRUE(read_json("[1,2,3]", arena, tape));
  ASSERT_TRUE(read_json("7", arena, tape));
  EXPECT_EQ(render(tape), "u7");
  ASSERT_TRUE(read_msgpack(from_hex("c3"), tape));
  EXPECT_EQ(render(tape), "true");
  EXPECT_FALSE(read_msgpack(from_hex("92 01"), tape));
  EXPECT_FALSE(read_json("[1,", arena, tape));
}

// ---- errors ----------------------------------------------------------------

struct ErrorCase {
  std::string input;
  std::string message;
  std::uint64_t offset;
};

// Test listings carry the parameter: long inputs (deep nesting) show their head only.
void PrintTo(const ErrorCase& c, std::ostream* os) {
  constexpr std::size_t kShown = 24;
  if (c.input.size() <= kShown) {
    *os << testing::PrintToString(c.input);
    return;
  }
  *os << testing::PrintToString(c.input.substr(0, kShown)) << "... (" << c.input.size() << " bytes)";
}

class JsonError : public testing::TestWithParam<ErrorCase> {};

TEST_P(JsonError, MessageAndOffset) {
  Arena arena;
  Tape tape;
  auto result = read_json(GetParam().input, arena, tape);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, GetParam().message);
  EXPECT_EQ(result.error().offset, GetParam().offset);
}

std::string nested(std::size_t depth, std::string_view open, std::string_view close, std::string_view inner) {
  std::string s;
  for (std::size_t i = 0; i < depth; ++i) s += open;
  s += inner;
  for (std::size_t i = 0; i < depth; ++i) s += close;
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, JsonError,
    testing::Values(
        ErrorCase{"", "EOF while parsing a value", 0}, ErrorCase{"  \n ", "EOF while parsing a value", 4},
        ErrorCase{"[1,2", "EOF while parsing a value", 4}, ErrorCase{R"({"a":1)", "EOF while parsing a value", 6},
        ErrorCase{R"({"a")", "EOF while parsing a value", 4}, ErrorCase{R"("abc)", "EOF while parsing a value", 4},
        ErrorCase{"tru", "EOF while parsing a value", 3}, ErrorCase{"[1.", "EOF while parsing a value", 3},
        ErrorCase{R"("\)", "EOF while parsing a value", 2}, ErrorCase{R"("\u12)", "EOF while parsing a value", 5},
        ErrorCase{R"({"a" 1})", "expected `:`", 5}, ErrorCase{R"({"a":1 "b":2})", "expected `,` or `}`", 7},
        ErrorCase{"[1 2]", "expected `,` or `]`", 3}, ErrorCase{"{1:2}", "key must be a string", 1},
        ErrorCase{R"({"a":1,})", "key must be a string", 7}, ErrorCase{"[1,]", "expected value", 3},
        ErrorCase{"[x]", "expected value", 1}, ErrorCase{"nul!", "expected value", 3},
        ErrorCase{"\xEF\xBB\xBF{}", "expected value", 0}, ErrorCase{"1 2", "trailing characters", 2},
        ErrorCase{"{} x", "trailing characters", 3}, ErrorCase{"01", "trailing characters", 1},
        ErrorCase{R"("\x")", "invalid escape", 1}, ErrorCase{R"("ab\u12G4")", "invalid escape", 3},
        ErrorCase{R"("\ud800")", "invalid unicode code point", 1},
        ErrorCase{R"(["\ud800\u0041"])", "invalid unicode code point", 2},
        ErrorCase{R"(["\udc00"])", "invalid unicode code point", 1},
        ErrorCase{R"({"\udfff":1})", "invalid unicode code point", 1},
        ErrorCase{R"(["\ud83d\ude00", "x\uDC00"])", "invalid unicode code point", 17}, ErrorCase{"1.x", "invalid number", 2},
        ErrorCase{"-", "EOF while parsing a value", 1}, ErrorCase{"1ex", "invalid number", 2},
        ErrorCase{"1e400", "number out of range", 0}, ErrorCase{"[-1e999]", "number out of range", 1},
        // Out of range by magnitude, whatever the exponent's sign or leading zeros.
        ErrorCase{"0.1e400", "number out of range", 0}, ErrorCase{"-0.001e312", "number out of range", 0},
        ErrorCase{std::string("1").append(400, '0').append("e-1"), "number out of range", 0},
        ErrorCase{"\"a\tb\"", "control character in string", 2},
        ErrorCase{"\"a\x1f\"", "control character in string", 2}));

// RapidJSON stops at a NUL; the reader must not take that as the end.
INSTANTIATE_TEST_SUITE_P(EmbeddedNul, JsonError,
                         testing::Values(ErrorCase{std::string("[1]\0[2]", 7), "trailing characters", 3},
                                         ErrorCase{std::string("1 \0", 3), "trailing characters", 2},
                                         ErrorCase{std::string("\"a\0b\"", 5), "control character in string", 2},
                                         ErrorCase{std::string("[1,\0]", 5), "expected value", 3},
                                         ErrorCase{std::string("\0", 1), "expected value", 0}));

// Raw bytes are validated; a sequence cut by the end of the text must not be
// read past the end either.
INSTANTIATE_TEST_SUITE_P(
    Utf8, JsonError,
    testing::Values(ErrorCase{"\"\xFF\"", "invalid UTF-8", 1}, ErrorCase{"\"ab\xC0\xAF\"", "invalid UTF-8", 3},
                    ErrorCase{"\"\xED\xA0\x80\"", "invalid UTF-8", 1}, ErrorCase{"\"\xF4\x90\x80\x80\"", "invalid UTF-8", 1},
                    ErrorCase{"\"\xE2\x82\"", "invalid UTF-8", 1}, ErrorCase{"\"\xE2", "invalid UTF-8", 1},
                    ErrorCase{"\"\xF0\x9F", "invalid UTF-8", 1}, ErrorCase{"[\"ok\", \"\x80\"]", "invalid UTF-8", 8}));

INSTANTIATE_TEST_SUITE_P(
    Depth, JsonError,
    testing::Values(ErrorCase{nested(128, "[", "]", ""), "recursion limit exceeded", 127},
                    ErrorCase{nested(128, "{\"k\":", "}", "1"), "recursion limit exceeded", 127 * 5},
                    ErrorCase{nested(100000, "[", "]", ""), "recursion limit exceeded", 127},
                    ErrorCase{std::string(100000, '['), "recursion limit exceeded", 127}));

TEST(JsonReader, DepthLimitIsInclusive) {
  Arena arena;
  Tape tape;
  ASSERT_TRUE(read_json(nested(127, "[", "]", "1"), arena, tape));
  ASSERT_EQ(tape.size(), 128u);
  EXPECT_EQ(tape[0].end, 128u);
  EXPECT_EQ(tape[126].end, 128u);
  EXPECT_EQ(tape[126].size, 1u);
  ASSERT_TRUE(read_json(nested(127, "{\"k\":", "}", "null"), arena, tape));
  EXPECT_EQ(tape.size(), 255u);
  EXPECT_EQ(tape[0].end, 255u);
}

TEST(JsonReader, ValidUtf8IsAccepted) {
  EXPECT_EQ(read_json_render("\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\""),
            "'\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF'");
  EXPECT_EQ(read_json_render(" \t\r\n[ \"\xED\x9F\xBF\" ]\n"), "[1>2 '\xED\x9F\xBF'");
  EXPECT_EQ(read_json_render(R"(["\\udc00", "\ud83d\udc00"])"), "[2>3 '\\udc00' '\xF0\x9F\x90\x80'");
}

class MessagePackError : public testing::TestWithParam<ErrorCase> {};

TEST_P(MessagePackError, MessageAndOffset) {
  Tape tape;
  auto result = read_msgpack(GetParam().input, tape);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, GetParam().message);
  EXPECT_EQ(result.error().offset, GetParam().offset);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, MessagePackError,
    testing::Values(
        ErrorCase{"", "unexpected end of MessagePack input", 0},
        ErrorCase{from_hex("92 01"), "unexpected end of MessagePack input", 2},
        ErrorCase{from_hex("a5 6162"), "unexpected end of MessagePack input", 3},
        ErrorCase{from_hex("cb 0000"), "unexpected end of MessagePack input", 3},
        // A header claiming four billion elements must fail, not reserve them.
        ErrorCase{from_hex("dd ffffffff"), "unexpected end of MessagePack input", 5},
        ErrorCase{from_hex("df ffffffff c0"), "unexpected end of MessagePack input", 6},
        ErrorCase{from_hex("db ffffffff 61"), "unexpected end of MessagePack input", 6},
        ErrorCase{from_hex("c9 ffffffff 01"), "unexpected end of MessagePack input", 6},
        ErrorCase{from_hex("c0 c0"), "trailing bytes after the MessagePack value", 1},
        ErrorCase{from_hex("91 01 02"), "trailing bytes after the MessagePack value", 2},
        ErrorCase{from_hex("c1"), "invalid MessagePack marker 0xc1", 0},
        ErrorCase{from_hex("92 c0 c1"), "invalid MessagePack marker 0xc1", 2},
        ErrorCase{from_hex("a3 61 ff 62"), "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 1", 0},
        ErrorCase{from_hex("81 a1 6b a2 e2 82"), "string found to be invalid utf8: incomplete utf-8 byte sequence from index 0", 3},
        ErrorCase{from_hex("91 d9 03 ed a0 80"), "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0", 1},
        ErrorCase{from_hex("a4 f0 9f 41 41"), "string found to be invalid utf8: invalid utf-8 sequence of 2 bytes from index 0", 0},
        ErrorCase{from_hex("a2 c0 80"), "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0", 0},
        ErrorCase{from_hex("a9 6161616161616161 ff"), "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 8", 0},
        ErrorCase{std::string(1024, '\x91') + '\xc0', "recursion limit exceeded", 1023},
        ErrorCase{std::string(100000, '\x91') + '\xc0', "recursion limit exceeded", 1023},
        ErrorCase{std::string(100000, '\x81'), "recursion limit exceeded", 1023}));

TEST(MessagePackReader, DepthLimitIsInclusive) {
  Tape tape;
  ASSERT_TRUE(read_msgpack(std::string(1023, '\x91') + '\xc0', tape));
  EXPECT_EQ(tape.size(), 1024u);
  EXPECT_EQ(tape.front().end, 1024u);
  // Map keys may be containers too; their nesting counts the same way.
  std::string maps;
  for (int i = 0; i < 1024; ++i) maps += '\x81';
  EXPECT_FALSE(read_msgpack(maps, tape));
}

// Short strings are checked a word at a time: a stray byte is found in every
// lane and at every length around the word size, a valid sequence passes.
TEST(MessagePackReader, EveryPositionOfAStringIsValidated) {
  Tape tape;
  for (std::size_t n = 1; n <= 20; ++n) {
    for (std::size_t k = 0; k < n; ++k) {
      std::string text(n, 'a');
      text[k] = '\x80';
      std::string doc = std::string(1, static_cast<char>(0xd9)) + static_cast<char>(n) + text;
      auto result = read_msgpack(doc, tape);
      ASSERT_FALSE(result) << n << " " << k;
      EXPECT_EQ(result.error().message, "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index " +
                                            std::to_string(k)) << n << " " << k;
      if (k + 1 < n) {
        text[k] = '\xc3';
        text[k + 1] = '\xa9';
        doc = std::string(1, static_cast<char>(0xd9)) + static_cast<char>(n) + text;
        EXPECT_TRUE(read_msgpack(doc, tape)) << n << " " << k;
      }
    }
  }
}

TEST(MessagePackReader, EveryTruncationFails) {
  std::string doc = from_hex("83 a1 61 93 01 d1 ff00 cb 3ff0000000000000 a1 62 c4 02 0102 a1 63 82 c3 a0 d4 01 00 c2");
  Tape tape;
  ASSERT_TRUE(read_msgpack(doc, tape));
  for (std::size_t n = 0; n < doc.size(); ++n) {
    auto result = read_msgpack(std::string_view(doc).substr(0, n), tape);
    ASSERT_FALSE(result) << n;
    EXPECT_EQ(result.error().message, "unexpected end of MessagePack input") << n;
  }
}

TEST(MessagePackReader, HugeHeaderReservesNothing) {
  Tape tape;
  EXPECT_FALSE(read_msgpack(from_hex("dd ffffffff 91 dd ffffffff"), tape));
  EXPECT_LT(tape.capacity(), 1024u);
}

// Every container's end lands on the event after its last child, and its size
// counts its children (entries for maps).
void expect_consistent(const Tape& tape) {
  ASSERT_FALSE(tape.empty());
  ASSERT_EQ(tape[0].end, tape.size());
  for (std::size_t i = 0; i < tape.size(); ++i) {
    const TapeEvent& e = tape[i];
    ASSERT_GT(e.end, i);
    ASSERT_LE(e.end, tape.size());
    if (!e.is_container()) continue;
    std::uint64_t children = 0;
    for (std::size_t j = i + 1; j < e.end; j = tape[j].end) ++children;
    ASSERT_EQ(children, e.kind == TapeKind::Map ? 2 * std::uint64_t{e.size} : e.size) << i;
  }
}

// Mutated documents: whatever the reader says, it must say it without crashing
// and any tape it returns must be well formed.
TEST(Readers, MutatedInputsFailCleanly) {
  std::string json = R"({"a":[1,-2,1.5e3,"x\n\u00e9",true,false,null],"b":{"c":[[]],"d":"\ud83d\ude00"}})";
  std::string mp = from_hex("82 a1 61 97 01 fe cb 3ff8000000000000 a2 78c3 c3 c2 c0 a1 62 82 a1 63 91 90 a1 64 c4 01 ff");
  const char replacements[] = {'\0', '"', '\\', '[', ']', '{', '}', ',', ':', 'u', '\x80', '\xED', '\xc1', '\xdd', '\xff', '\x91'};
  std::uint64_t state = 42;
  Arena arena;
  Tape tape;
  for (int n = 0; n < 3000; ++n) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    std::string doc = n % 2 ? json : mp;
    doc[(state >> 20) % doc.size()] = replacements[(state >> 40) % sizeof(replacements)];
    if (n % 3 == 0) doc.resize((state >> 8) % (doc.size() + 1));
    bool ok = n % 2 ? read_json(doc, arena, tape).has_value() : read_msgpack(doc, tape).has_value();
    if (ok) expect_consistent(tape);
    if (HasFatalFailure()) return;
  }
}

TEST(Readers, TapesAreConsistent) {
  Arena arena;
  Tape tape;
  ASSERT_TRUE(read_json(R"([{"a":[{},[],[1,{"b":[2]}]]},[[{"c":{}}]],3])", arena, tape));
  expect_consistent(tape);
  ASSERT_TRUE(read_msgpack(from_hex("93 81 a161 93 80 90 92 01 81 a162 91 02 91 91 81 a163 80 03"), tape));
  expect_consistent(tape);
}

struct PositionCase {
  std::string text;
  std::uint64_t offset;
  std::string suffix;
};

class Position : public testing::TestWithParam<PositionCase> {};

TEST_P(Position, LineAndColumn) {
  EXPECT_EQ(json_position_suffix(GetParam().text, GetParam().offset), GetParam().suffix);
}

INSTANTIATE_TEST_SUITE_P(Offsets, Position,
                         testing::Values(PositionCase{"", 0, " at line 1 column 1"},
                                         PositionCase{"abc", 0, " at line 1 column 1"},
                                         PositionCase{"abc", 3, " at line 1 column 4"},
                                         PositionCase{"ab\ncd", 2, " at line 1 column 3"},
                                         PositionCase{"ab\ncd", 3, " at line 2 column 1"},
                                         PositionCase{"ab\ncd", 5, " at line 2 column 3"},
                                         PositionCase{"\n\n\n", 3, " at line 4 column 1"},
                                         PositionCase{"a\xC3\xA9z", 3, " at line 1 column 4"},
                                         PositionCase{"ab\ncd", 99, " at line 2 column 3"}));

TEST(Position, MatchesTheReadError) {
  Arena arena;
  Tape tape;
  std::string text = "{\n  \"a\": [1,\n        2 3]\n}";
  auto result = read_json(text, arena, tape);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message + json_position_suffix(text, result.error().offset),
            "expected `,` or `]` at line 3 column 11");
}

}  // namespace
}  // namespace sarnic::codec
