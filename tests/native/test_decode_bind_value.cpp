// BindValue decoding: the tagged map in any key order, the [type, value] form,
// and the payload rules, in both encodings.
#include <cmath>

#include "test_decode_support.hpp"

namespace sarnic::codec::test {
namespace {

struct Case {
  const char* json;
  const char* expected;
};

class BindValueBoth : public ::testing::TestWithParam<Case> {};

TEST_P(BindValueBoth, DecodesAlikeInBothFormats) {
  EXPECT_EQ(both(bind_value_of, GetParam().json), GetParam().expected) << GetParam().json;
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, BindValueBoth,
    ::testing::Values(Case{R"({"type":"int","value":42})", "int:42"},
                      Case{R"({"value":5,"type":"int"})", "int:5"},
                      Case{R"({"type":"null"})", "null"},
                      Case{R"({"type":"null","value":null})", "null"},
                      Case{R"({"type":"bool","value":false})", "bool:false"},
                      Case{R"({"type":"float","value":2})", "float:2"},
                      Case{R"({"type":"float","value":-3})", "float:-3"},
                      Case{R"({"type":"float","value":0.1})", "float:0.1"},
                      Case{R"({"type":"int","value":-9223372036854775808})", "int:-9223372036854775808"},
                      Case{R"({"type":"int","value":9223372036854775807})", "int:9223372036854775807"},
                      Case{R"({"type":"bytes","value":[0,255]})", "bytes[0,255]"},
                      Case{R"({"type":"bytes","value":[]})", "bytes[]"},
                      Case{R"({"type":"text","value":"abc","hint":{"x":[1]}})", "text:abc"},
                      Case{R"({"type":"text","value":""})", "text:"},
                      Case{R"({"type":"datetime","value":"2024-05-01T10:00:00Z"})", "datetime:2024-05-01T10:00:00Z"},
                      Case{R"({"type":"float_array","value":[0.5,2,-1]})", "float_array[0.5,2,-1]"},
                      Case{R"({"type":"text_array","value":["a","é"]})", "text_array[a,é]"},
                      Case{R"({"type":"int_array","value":[1,-2]})", "int_array[1,-2]"},
                      Case{R"(["int",5])", "int:5"},
                      Case{R"(["null",null])", "null"}));

INSTANTIATE_TEST_SUITE_P(
    Rejected, BindValueBoth,
    ::testing::Values(
        Case{R"({"type":"null","value":0})", "error: invalid type: integer `0`, expected unit variant BindValue::Null"},
        Case{R"({"type":"int","value":1.5})", "error: invalid type: floating point `1.5`, expected i64"},
        Case{R"({"type":"int","value":10.0})", "error: invalid type: floating point `10.0`, expected i64"},
        Case{R"({"type":"int","value":9223372036854775808})",
             "error: invalid value: integer `9223372036854775808`, expected i64"},
        Case{R"({"type":"int","value":null})", "error: invalid type: null, expected i64"},
        Case{R"({"type":"bool","value":1})", "error: invalid type: integer `1`, expected a boolean"},
        Case{R"({"type":"float","value":"1"})", "error: invalid type: string \"1\", expected f64"},
        Case{R"({"type":"text","value":5})", "error: invalid type: integer `5`, expected a string"},
        Case{R"({"type":"datetime","value":["x"]})", "error: invalid type: sequence, expected a string"},
        Case{R"({"type":"bytes","value":[256]})", "error: invalid value: integer `256`, expected u8"},
        Case{R"({"type":"bytes","value":[-1]})", "error: invalid value: integer `-1`, expected u8"},
        Case{R"({"type":"bytes","value":"ab"})", "error: invalid type: string \"ab\", expected a sequence"},
        Case{R"({"type":"text_array","value":["a",1]})", "error: invalid type: integer `1`, expected a string"},
        Case{R"({"type":"int_array","value":[1e3]})", "error: invalid type: floating point `1000.0`, expected i64"},
        Case{R"({"type":"float_array","value":[true]})", "error: invalid type: boolean `true`, expected f64"},
        Case{R"({"type":"int"})", "error: missing field `value`"},
        Case{R"({"value":1})", "error: missing field `type`"},
        Case{R"({})", "error: missing field `type`"},
        Case{R"({"type":"int","type":"int","value":1})", "error: duplicate field `type`"},
        Case{R"({"type":"int","value":1,"value":2})", "error: duplicate field `value`"},
        Case{R"({"type":null})", "error: invalid type: null, expected variant identifier"},
        Case{R"({"type":"Int","value":1})",
             "error: unknown variant `Int`, expected one of `null`, `bool`, `int`, `float`, `text`, `bytes`, "
             "`datetime`, `float_array`, `text_array`, `int_array`"},
        Case{R"(["null"])", "error: invalid length 1, expected adjacently tagged enum BindValue"},
        Case{R"(["int",1,2])", "error: invalid length 3, expected adjacently tagged enum BindValue"},
        Case{R"(5)", "error: invalid type: integer `5`, expected adjacently tagged enum BindValue"},
        Case{R"("x\"y")", "error: invalid type: string \"x\\\"y\", expected adjacently tagged enum BindValue"}));

TEST(BindValueMessagePack, IndexTagsBinKeysAndBinPayloads) {
  struct MpCase {
    std::string bytes;
    const char* expected;
  };
  const MpCase cases[] = {
      {Mp().map(2).str("type").uint(2).str("value").sint(-7).bytes(), "int:-7"},
      {Mp().map(1).str("type").uint(0).bytes(), "null"},
      {Mp().arr(2).uint(9).json("[1,2]").bytes(), "int_array[1,2]"},
      {Mp().map(2).bin("type").str("text").bin("value").str("x").bytes(), "text:x"},
      {Mp().map(3).uint(0).str("skipped").str("type").str("bool").str("value").json("true").bytes(), "bool:true"},
      {Mp().map(2).str("type").str("float").str("value").f32(0.5f).bytes(), "float:0.5"},
      {Mp().map(2).str("type").uint(10).str("value").uint(1).bytes(),
       "error: invalid value: integer `10`, expected variant index 0 <= i < 10"},
      {Mp().map(2).str("type").sint(-1).str("value").uint(1).bytes(),
       "error: invalid value: integer `-1`, expected variant index 0 <= i < 10"},
      {Mp().map(2).str("type").str("bytes").str("value").bin("\x01\x02").bytes(),
       "error: invalid type: byte array, expected a sequence"},
      {Mp().map(2).str("type").str("text").str("value").bin("ab").bytes(),
       "error: invalid type: byte array, expected a string"},
      {Mp().map(2).str("type").str("int").str("value").ext("ab").bytes(),
       "error: invalid type: extension, expected i64"},
  };
  for (const MpCase& c : cases) EXPECT_EQ(bind_value_of(Format::MessagePack, c.bytes), c.expected);
}

TEST(BindValueMessagePack, NonFiniteFloatsStayFloats) {
  for (double d : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    std::string bytes = Mp().map(2).str("type").str("float").str("value").f64(d).bytes();
    Arena arena;
    Tape tape;
    ASSERT_TRUE(detail::read_document(Format::MessagePack, bytes, arena, tape));
    detail::Decoder decoder(tape, arena, Format::MessagePack);
    BindValue v;
    ASSERT_TRUE(detail::decode_bind_value(decoder, 0, v));
    ASSERT_TRUE(v.is(BindType::Float));
    if (std::isnan(d)) {
      EXPECT_TRUE(std::isnan(v.as_float()));
    } else {
      EXPECT_EQ(v.as_float(), d);
    }
  }
}

TEST(BindValueJson, IntegerTagIsATypeErrorWithPosition) {
  EXPECT_EQ(bind_value_of(Format::Json, R"({"type":2,"value":1})"),
            "error: invalid type: integer `2`, expected variant identifier at line 1 column 9");
}

}  // namespace
}  // namespace sarnic::codec::test
