// ModelMetadata decoding: defaults, null rules, array forms and field types.
#include "test_decode_support.hpp"

namespace sarnic::codec::test {
namespace {

struct Case {
  std::string json;
  std::string expected;
};

//! A model around `fields` (a JSON list) and `rest`.
std::string model(std::string_view fields, std::string_view rest = "") {
  return R"({"model_name":"User","table_name":"users","pk_index":0,"fields":)" + std::string(fields) +
         (rest.empty() ? "" : ",") + std::string(rest) + "}";
}
//! One field whose keys after "name" are `body`.
std::string field(std::string_view body) { return model(R"([{"name":"a",)" + std::string(body) + "}]"); }

constexpr const char* kPlain = R"("column_name":"a_col","field_type":"text","allowed_operators":["eq","in"],"nullable":false)";

class MetadataBoth : public ::testing::TestWithParam<Case> {};

TEST_P(MetadataBoth, DecodesAlikeInBothFormats) {
  EXPECT_EQ(both(metadata_of, GetParam().json), GetParam().expected) << GetParam().json;
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, MetadataBoth,
    ::testing::Values(
        Case{model("[]"), "User/users pk=0"},
        Case{model("[]", R"("extra":{"x":[1]},"full_text_indexes":[])"), "User/users pk=0"},
        Case{field(kPlain), "User/users pk=0 a/a_col:text[eq,in]"},
        Case{model("[]", R"("pk_fields":[2,0],"full_text_indexes":[{"name":"ix","fields":["a","b"]},{"name":"iy","fields":[],"config":"english"}])"),
             "User/users pk=0 pk_fields[2,0] index(ix[a,b]) index(iy[] english)"},
        Case{field(R"("column_name":"a","field_type":"tsvector","allowed_operators":[],"nullable":true,"vector_dimensions":null,"fts_config":null,"fts_source_columns":null)"),
             "User/users pk=0 a/a:ts_vector[]?"},
        Case{field(R"("column_name":"a","field_type":"ts_vector","allowed_operators":[],"nullable":false,"vector_dimensions":4294967295,"fts_config":"simple","fts_source_columns":[])"),
             "User/users pk=0 a/a:ts_vector[] dims=4294967295 cfg=simple src[]"},
        Case{model(R"([["b","b_col","vector",["l2"],true,3],["c","c","enum",[],false,null,null,["x"]]])"),
             "User/users pk=0 b/b_col:vector[l2]? dims=3 c/c:enum[] src[x]"},
        Case{R"(["User","users",[],7])", "User/users pk=7"},
        Case{R"(["User","users",[],7,[1],[["ix",["a"],null]]])", "User/users pk=7 pk_fields[1] index(ix[a])"}));

INSTANTIATE_TEST_SUITE_P(
    Rejected, MetadataBoth,
    ::testing::Values(
        Case{R"({"model_name":"User","table_name":"users","fields":[]})", "error: missing field `pk_index`"},
        Case{R"({"table_name":"users"})", "error: missing field `model_name`"},
        Case{field(R"("column_name":"a","field_type":"int","nullable":false)"), "error: missing field `allowed_operators`"},
        Case{field(R"("column_name":"a","field_type":"Text","allowed_operators":[],"nullable":false)"),
             "error: unknown variant `Text`, expected one of `int`, `big_int`, `float`, `decimal`, `text`, `bool`, "
             "`datetime`, `date`, `time`, `uuid`, `json`, `bytes`, `vector`, `ts_vector`, `tsvector`, `array_text`, "
             "`array_int`, `array_uuid`, `array_float`, `enum`"},
        Case{field(R"("column_name":"a","field_type":null,"allowed_operators":[],"nullable":false)"),
             "error: invalid type: null, expected enum FieldType"},
        Case{field(R"("column_name":"a","field_type":"int","allowed_operators":[],"nullable":null)"),
             "error: invalid type: null, expected a boolean"},
        Case{field(R"("column_name":"a","field_type":"int","allowed_operators":[1],"nullable":false)"),
             "error: invalid type: integer `1`, expected a string"},
        Case{field(std::string(kPlain) + R"(,"vector_dimensions":4294967296)"),
             "error: invalid value: integer `4294967296`, expected u32"},
        Case{field(std::string(kPlain) + R"(,"vector_dimensions":-1)"), "error: invalid value: integer `-1`, expected u32"},
        Case{field(std::string(kPlain) + R"(,"vector_dimensions":3.0)"),
             "error: invalid type: floating point `3.0`, expected u32"},
        Case{field(std::string(kPlain) + R"(,"fts_source_columns":"a")"),
             "error: invalid type: string \"a\", expected a sequence"},
        Case{field(std::string(kPlain) + R"(,"nullable":true)"), "error: duplicate field `nullable`"},
        Case{model("[]", R"("pk_index":5)"), "error: duplicate field `pk_index`"},
        Case{model("[]", R"("pk_fields":null)"), "error: invalid type: null, expected a sequence"},
        Case{model("[]", R"("pk_fields":[-2])"), "error: invalid value: integer `-2`, expected u64"},
        Case{model("[]", R"("full_text_indexes":[{"name":"ix"}])"), "error: missing field `fields`"},
        Case{model("[]", R"("full_text_indexes":[["ix"]])"),
             "error: invalid length 1, expected struct FullTextIndexMeta with 3 elements"},
        Case{model(R"([["b","b","int",[]]])"), "error: invalid length 4, expected struct FieldMeta with 8 elements"},
        Case{model(R"([["b","b","int",[],false,null,null,null,null]])"),
             "error: invalid length 9, expected struct FieldMeta with 8 elements"},
        Case{R"(["User","users",[]])", "error: invalid length 3, expected struct ModelMetadata with 6 elements"},
        Case{R"("User")", "error: invalid type: string \"User\", expected struct ModelMetadata"}));

TEST(MetadataFieldType, EveryNameAndMessagePackPosition) {
  for (std::size_t k = 0; k < std::size(detail::kFieldTypeNames); ++k) {
    std::string name(detail::kFieldTypeNames[k]);
    std::string expected = "User/users pk=0 a/a:" + name + "[]";
    EXPECT_EQ(both(metadata_of, field(R"("column_name":"a","field_type":")" + name +
                                      R"(","allowed_operators":[],"nullable":false)")),
              expected);
    Mp mp;
    mp.map(4).str("model_name").str("User").str("table_name").str("users").str("pk_index").uint(0).str("fields");
    mp.arr(1).arr(5).str("a").str("a").uint(k).arr(0).json("false");
    EXPECT_EQ(metadata_of(Format::MessagePack, mp.bytes()), expected);
  }
  EXPECT_EQ(std::size(detail::kFieldTypeNames), kFieldTypeCount);

  Mp mp;
  mp.arr(4).str("User").str("users").arr(1).arr(5).str("a").str("a").uint(19).arr(0).json("false").uint(0);
  EXPECT_EQ(metadata_of(Format::MessagePack, mp.bytes()),
            "error: invalid value: integer `19`, expected variant index 0 <= i < 19");
  EXPECT_TRUE(metadata_of(Format::Json, field(R"("column_name":"a","field_type":4,"allowed_operators":[],"nullable":false)"))
                  .starts_with("error: invalid type: integer `4`, expected enum FieldType at line 1 column "));
}

TEST(MetadataMessagePack, PositionAndBinKeys) {
  Mp mp;
  mp.map(5).uint(0).str("User").bin("table_name").str("users").uint(2).arr(0).uint(3).uint(1).uint(6).str("x");
  EXPECT_EQ(metadata_of(Format::MessagePack, mp.bytes()), "User/users pk=1");
}

TEST(MetadataJson, StringsAreUnescapedViews) {
  EXPECT_EQ(metadata_of(Format::Json, R"({"model_name":"U\u00e9\n","table_name":"t\"q","fields":[],"pk_index":0})"),
            "U\u00e9\n/t\"q pk=0");
}

}  // namespace
}  // namespace sarnic::codec::test
