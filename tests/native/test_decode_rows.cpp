// Row batches: top-level shape, key order with the last duplicate winning,
// values left on the tape, and the MessagePack kinds that have no JSON value.
#include <algorithm>
#include <cmath>
#include <map>
#include <random>

using namespace std::string_view_literals;

#include "test_decode_support.hpp"

namespace sarnic::codec::test {
namespace {

std::string value_text(const TapeEvent& e) {
  auto wrapped = [](const char* open, std::string_view inner, const char* close) {
    std::string out;
    cat(out, open, inner, close);
    return out;
  };
  switch (e.kind) {
    case TapeKind::Null: return "null";
    case TapeKind::False: return "false";
    case TapeKind::True: return "true";
    case TapeKind::UInt: return std::to_string(e.u);
    case TapeKind::Int: return std::to_string(e.i);
    case TapeKind::Double: return num(e.d);
    case TapeKind::String: return wrapped("'", e.text(), "'");
    case TapeKind::Binary: return "bin";
    case TapeKind::Extension: return "ext";
    case TapeKind::Array: return wrapped("[", std::to_string(e.size), "]");
    case TapeKind::Map: return wrapped("{", std::to_string(e.size), "}");
  }
  return "?";
}

std::string rows_of(Format format, std::string_view input) {
  Arena arena;
  Tape tape;
  auto batch = decode_rows(format, input, arena, tape);
  if (!batch) return "error: " + batch.error();
  EXPECT_EQ(batch->tape, &tape);
  std::string out;
  for (std::size_t r = 0; r < batch->row_count(); ++r) {
    out += "{";
    for (const RowEntry& e : batch->row(r)) cat(out, e.key, "=", value_text(tape[e.value]), ";");
    out += "}";
  }
  return out;
}

struct Case {
  const char* json;
  const char* expected;
};

class RowsBoth : public ::testing::TestWithParam<Case> {};

TEST_P(RowsBoth, DecodesAlikeInBothFormats) {
  EXPECT_EQ(both(rows_of, GetParam().json), GetParam().expected) << GetParam().json;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RowsBoth,
    ::testing::Values(Case{"[]", ""},
                      Case{"[{}]", "{}"},
                      Case{R"([{"b":1,"a":2}])", "{a=2;b=1;}"},
                      Case{R"([{"a":1,"a":2}])", "{a=2;}"},
                      Case{R"([{"a":1,"b":null,"a":"x","b":true,"a":-3}])", "{a=-3;b=true;}"},
                      Case{R"([{"id":1},{"id":2,"nick":null}])", "{id=1;}{id=2;nick=null;}"},
                      // Repeated, reordered, changed and shortened key lists after a first row.
                      Case{R"([{"b":1,"a":2,"b":3},{"b":4,"a":5,"b":6},{"a":7,"b":8,"b":9},{"b":1,"c":2,"b":3},{"b":0}])",
                           "{a=2;b=3;}{a=5;b=6;}{a=7;b=9;}{b=3;c=2;}{b=0;}"},
                      Case{R"([{"\u00e9":1,"z":2,"Z":3,"":4}])", "{=4;Z=3;z=2;é=1;}"},
                      Case{R"([{"x":[1,{"k":2}],"y":{"a":[]},"f":1.5,"u":18446744073709551615}])",
                           "{f=1.5;u=18446744073709551615;x=[2];y={1};}"},
                      Case{R"({"a":1})", "error: invalid type: map, expected a sequence"},
                      Case{R"("rows")", "error: invalid type: string \"rows\", expected a sequence"},
                      Case{R"([{"a":1},[1]])", "error: invalid type: sequence, expected a map"},
                      Case{R"([null])", "error: invalid type: null, expected a map"}));

TEST(RowsJson, ErrorsCarryPositions) {
  EXPECT_EQ(rows_of(Format::Json, "[{\"a\":1},\n 7]"), "error: invalid type: integer `7`, expected a map at line 2 column 2");
  EXPECT_TRUE(rows_of(Format::Json, "[{\"a\":1}").starts_with("error: EOF while parsing"));
}

TEST(RowsMessagePack, RefusesKindsWithoutAJsonValue) {
  struct MpCase {
    std::string bytes;
    const char* expected;
  };
  const MpCase cases[] = {
      {Mp().arr(1).map(1).uint(1).uint(2).bytes(), "error: invalid type: integer `1`, expected a string"},
      {Mp().arr(1).map(1).bin("a").uint(2).bytes(), "error: invalid type: byte array, expected a string"},
      {Mp().arr(1).map(1).str("a").bin("xy").bytes(), "error: invalid type: byte array, expected any valid JSON value"},
      {Mp().arr(1).map(1).str("a").ext("xy").bytes(), "error: invalid type: extension, expected any valid JSON value"},
      {Mp().arr(1).map(1).str("a").arr(2).uint(1).arr(1).bin("").bytes(),
       "error: invalid type: byte array, expected any valid JSON value"},
      {Mp().arr(1).map(1).str("a").map(1).str("k").map(1).sint(-1).nil().bytes(),
       "error: invalid type: integer `-1`, expected a string"},
      {Mp().arr(2).map(1).str("a").nil().map(1).str("a").ext("").bytes(),
       "error: invalid type: extension, expected any valid JSON value"},
      {Mp().arr(1).map(2).str("b").f32(0.5f).str("a").map(1).str("k").arr(0).bytes(), "{a={1};b=0.5;}"},
  };
  for (const MpCase& c : cases) EXPECT_EQ(rows_of(Format::MessagePack, c.bytes), c.expected);
}

TEST(RowsMessagePack, NonFiniteFloatsStayFloats) {
  std::string bytes = Mp().arr(1).map(2).str("n").f64(std::nan("")).str("i").f64(-HUGE_VAL).bytes();
  Arena arena;
  Tape tape;
  auto batch = decode_rows(Format::MessagePack, bytes, arena, tape);
  ASSERT_TRUE(batch);
  auto row = batch->row(0);
  ASSERT_EQ(row.size(), 2u);
  EXPECT_EQ(row[0].key, "i");
  EXPECT_EQ(tape[row[0].value].kind, TapeKind::Double);
  EXPECT_TRUE(std::isinf(tape[row[0].value].d));
  EXPECT_EQ(tape[row[1].value].kind, TapeKind::Double);
  EXPECT_TRUE(std::isnan(tape[row[1].value].d));
}

//! What assigning the entries one by one into an ordered map gives.
std::vector<RowEntry> reference(std::span<const RowEntry> entries) {
  std::map<std::string_view, std::uint32_t> m;
  for (const RowEntry& e : entries) m[e.key] = e.value;
  std::vector<RowEntry> out;
  for (auto [k, v] : m) out.push_back({k, v});
  return out;
}

TEST(SortUniqueEntries, MatchesAssigningIntoAnOrderedMap) {
  static const std::string_view keys[] = {"a", "b", "ab", "", "\xff", "B", "a\0"sv, "zz", "é", "b"};
  std::mt19937 rng(7);
  // Sizes on both sides of the small-row path; tape indices ascending (document
  // order) or shuffled (any caller).
  for (std::size_t n : {0u, 1u, 2u, 5u, 31u, 32u, 33u, 100u, 700u}) {
    for (bool ascending : {true, false}) {
      std::vector<RowEntry> entries;
      for (std::size_t i = 0; i < n; ++i)
        entries.push_back({keys[rng() % std::size(keys)], static_cast<std::uint32_t>(ascending ? 2 * i + 1 : rng() % 50)});
      std::vector<RowEntry> expected = reference(entries);
      std::size_t kept = sort_unique_entries(entries);
      ASSERT_EQ(kept, expected.size()) << n;
      for (std::size_t i = 0; i < kept; ++i) {
        EXPECT_EQ(entries[i].key, expected[i].key) << n << " " << i;
        EXPECT_EQ(entries[i].value, expected[i].value) << n << " " << i;
      }
    }
  }
}

TEST(SortUniqueEntries, WideRowsDecodeInKeyOrder) {
  std::string json = "[{";
  for (int i = 99; i >= 0; --i) json += "\"k" + std::to_string(i % 40) + "\":" + std::to_string(i) + (i ? "," : "");
  json += "}]";
  std::string got = both(rows_of, json);
  EXPECT_TRUE(got.starts_with("{k0=0;k1=1;k10=10;k11=11;")) << got;
  EXPECT_EQ(std::count(got.begin(), got.end(), '='), 40);
}

// A batch decodes each row as that row would decode alone, whichever rows
// before it share, reorder or change its keys.
TEST(RowsJson, EachRowSortsAsIfAlone) {
  static const char* const layouts[] = {R"("id":1,"b":2,"a":3)", R"("id":1,"b":2,"a":3)", R"("a":1,"id":2,"b":3)",
                                        R"("id":1,"b":2,"id":3)", R"("id":1,"c":2,"a":3)", R"("id":1)", ""};
  std::mt19937 rng(11);
  std::string batch = "[", alone;
  for (int r = 0; r < 200; ++r) {
    // Appended piece by piece: g++ 12 sees a false -Wrestrict in "{" + s + "}".
    std::string row = "{";
    row.append(layouts[rng() % std::size(layouts)]).append("}");
    if (r) batch += ',';
    batch += row;
    std::string single = "[";
    single.append(row).append("]");
    alone += rows_of(Format::Json, single);
  }
  EXPECT_EQ(rows_of(Format::Json, batch + "]"), alone);
}

}  // namespace
}  // namespace sarnic::codec::test
