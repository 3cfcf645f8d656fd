// QuerySetIR decoding: record rules (keys, defaults, null, array forms), the
// tagged unions, and the MessagePack-only spellings.
#include <regex>

#include "test_decode_support.hpp"

namespace sarnic::codec::test {
namespace {

struct Case {
  std::string json;
  std::string expected;
};

//! A query with the required keys around `rest`, which names the operation.
std::string query(std::string_view rest) {
  return R"({"version":3,"model_name":"M","filters":[],"order_by":[],)" + std::string(rest) + "}";
}
std::string with_op(std::string_view op) { return query(R"("operation":)" + std::string(op)); }
std::string with_pred(std::string_view pred) {
  return query(R"("operation":{"kind":"delete"},"predicate":)" + std::string(pred));
}

std::string replaced(std::string s, std::string_view from, std::string_view to) {
  if (auto at = s.find(from); at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}
//! A query whose order_by is `order` (a JSON list).
std::string ordered(std::string_view order, std::string_view rest = R"("operation":{"kind":"delete"})") {
  return replaced(query(rest), R"("order_by":[])", R"("order_by":)" + std::string(order));
}

constexpr const char* kRef = R"({"name":"a","index":0})";
constexpr const char* kOne = R"({"type":"int","value":1})";

class IrBoth : public ::testing::TestWithParam<Case> {};

TEST_P(IrBoth, DecodesAlikeInBothFormats) {
  EXPECT_EQ(both(ir_of, GetParam().json), GetParam().expected) << GetParam().json;
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, IrBoth,
    ::testing::Values(
        Case{R"({"version":3,"model_name":"User","operation":{"kind":"select","fields":[{"name":"id","index":0},{"name":"email","index":1}]},"filters":[{"field":{"name":"email","index":1},"operator":"eq","value":{"type":"text","value":"ann"}}],"order_by":[{"field":{"name":"id","index":0},"direction":"desc"}],"limit":10})",
             "v3 User select[id#0,email#1] where[email#1 eq text:ann] order[id#0 desc] limit=10"},
        Case{with_op(R"({"kind":"delete"})"), "v3 M delete"},
        Case{with_op(R"({"danger":true,"kind":"delete"})"), "v3 M delete!"},
        Case{with_op(R"({"fields":[],"kind":"select"})"), "v3 M select[]"},
        // Unknown keys are skipped at every level, whatever their value.
        Case{query(R"("x":{"y":[1]},"operation":{"kind":"select","k":null,"fields":[{"name":"a","index":0,"z":[]}]})"),
             "v3 M select[a#0]"},
        Case{query(R"("operation":{"kind":"delete"},"limit":null,"offset":0,"distinct":true,"exists":false)"),
             "v3 M delete offset=0 distinct"},
        Case{query(R"("operation":{"kind":"delete"},"vector_order_by":null,"text_rank_by":null,"predicate":null)"),
             "v3 M delete"},
        Case{with_op(std::string(R"({"kind":"insert","values":[[)") + kRef + "," + kOne + "]]}"),
             "v3 M insert[a#0=int:1]"},
        Case{with_op(std::string(R"({"kind":"update","danger":true,"assignments":[[)") + kRef + "," + kOne + "]]}"),
             "v3 M update[a#0=int:1]!"},
        Case{with_op(std::string(R"({"kind":"bulk_insert","returning":true,"rows":[[],[[)") + kRef + "," + kOne + "]]]}"),
             "v3 M bulk_insert[[],[a#0=int:1]]+"},
        Case{with_op(std::string(R"({"kind":"bulk_update","pk_fields":[)") + kRef + R"(],"fields":[],"rows":[{"pk_values":[)" +
                     kOne + R"(],"values":[]}]})"),
             "v3 M bulk_update[a#0][][[int:1][]]"},
        Case{with_op(std::string(R"({"kind":"bulk_delete","pk_fields":[],"ids":[[)") + kOne + "],[]]}"),
             "v3 M bulk_delete[][[int:1],[]]"},
        Case{with_pred(std::string(R"({"kind":"and","children":[{"child":{"kind":"filter","filter":{"field":)") + kRef +
                       R"(,"operator":"is_null","value":{"type":"null"}}},"kind":"not"},{"kind":"or","children":[]}]})"),
             "v3 M delete pred=and[not((a#0 is_null null)),or[]]"},
        Case{ordered(std::string(R"([{"field":)") + kRef + R"(,"direction":"ASC"}])",
                     std::string(R"("operation":{"kind":"delete"},"vector_order_by":{"field":)") + kRef +
                         R"(,"metric":"inner_product","value":{"type":"float_array","value":[1]}},"text_rank_by":{"field":)" +
                         kRef + R"(,"query":{"type":"text","value":"q"},"mode":"boolean"})"),
             "v3 M delete order[a#0 unknown] near(a#0 m2 float_array[1]) rank(a#0 text:q m3)"},
        Case{query(std::string(R"("operation":{"kind":"delete"},"joins":[{"relation":"r","alias":"t1","local_field":)") +
                   kRef + R"(,"remote_table":"rt","remote_pk_column":"id","remote_fields":[{"index":2,"name":"n","column":"c"}]}])"),
             "v3 M delete join(r t1 a#0 rt.id[2:n:c])"},
        Case{replaced(query(R"("operation":{"kind":"select","fields":[{"name":"a","index":18446744073709551615}]})"),
                      R"("version":3)", R"("version":4294967295)"),
             "v4294967295 M select[a#18446744073709551615]"},
        // Array forms: the record, the variant after its tag, pairs, field refs.
        Case{R"([3,"M",{"kind":"delete"},[],[],null,null])", "v3 M delete"},
        Case{R"([3,"M",["update",[[["a",0],["int",1]]],true],[],[],5,null,null,null,["not",["filter",[["a",0],"eq",["null",null]]]],true,true,[]])",
             "v3 M update[a#0=int:1]! limit=5 pred=not((a#0 eq null)) distinct exists"},
        Case{with_op(R"(["delete"])"), "v3 M delete"}));

INSTANTIATE_TEST_SUITE_P(
    Rejected, IrBoth,
    ::testing::Values(
        Case{R"({"version":3,"model_name":"M","operation":{"kind":"insert","values":[]},"filters":[]})",
             "error: missing field `order_by`"},
        Case{R"({"filters":[]})", "error: missing field `version`"},
        Case{R"({"version":3,"version":3})", "error: duplicate field `version`"},
        Case{query(R"("operation":{"kind":"delete"},"distinct":null)"), "error: invalid type: null, expected a boolean"},
        Case{query(R"("operation":{"kind":"delete"},"joins":null)"), "error: invalid type: null, expected a sequence"},
        Case{query(R"("operation":{"kind":"delete"},"limit":-1)"), "error: invalid value: integer `-1`, expected u64"},
        Case{query(R"("operation":{"kind":"delete"},"limit":10.0)"),
             "error: invalid type: floating point `10.0`, expected u64"},
        Case{query(R"("operation":{"kind":"delete"},"offset":"5")"), "error: invalid type: string \"5\", expected u64"},
        Case{replaced(query(R"("operation":{"kind":"delete"})"), R"("version":3)", R"("version":4294967296)"),
             "error: invalid value: integer `4294967296`, expected u32"},
        Case{with_op(R"({"kind":"update"})"), "error: missing field `assignments`"},
        Case{with_op(R"({})"), "error: missing field `kind`"},
        Case{with_op(R"([])"), "error: missing field `kind`"},
        Case{with_op(R"({"kind":"select","fields":[],"kind":"select"})"), "error: duplicate field `kind`"},
        Case{with_op(R"({"kind":"select","fields":[],"fields":[]})"), "error: duplicate field `fields`"},
        Case{with_op(R"({"kind":"merge"})"),
             "error: unknown variant `merge`, expected one of `select`, `insert`, `update`, `delete`, `bulk_insert`, "
             "`bulk_update`, `bulk_delete`"},
        Case{with_op(R"({"kind":null})"), "error: invalid type: null, expected variant identifier"},
        Case{with_op(R"(5)"), "error: invalid type: integer `5`, expected internally tagged enum Operation"},
        Case{with_op(R"(["update"])"),
             "error: invalid length 0, expected struct variant Operation::Update with 2 elements"},
        Case{with_op(R"(["delete",true,1])"),
             "error: invalid length 2, expected struct variant Operation::Delete with 1 element"},
        Case{with_op(R"({"kind":"insert","values":[[{"name":"a","index":0}]]})"),
             "error: invalid length 1, expected a tuple of size 2"},
        Case{with_op(R"({"kind":"insert","values":[{}]})"), "error: invalid type: map, expected a tuple of size 2"},
        Case{with_op(R"({"kind":"select","fields":[{"name":"a","index":-1}]})"),
             "error: invalid value: integer `-1`, expected u64"},
        Case{with_op(R"({"kind":"select","fields":[{"name":"a","index":1e3}]})"),
             "error: invalid type: floating point `1000.0`, expected u64"},
        Case{with_op(R"({"kind":"select","fields":[{"name":"a"}]})"), "error: missing field `index`"},
        Case{with_op(R"({"kind":"select","fields":[["a"]]})"),
             "error: invalid length 1, expected struct FieldRef with 2 elements"},
        Case{with_op(R"({"kind":"select","fields":{}})"), "error: invalid type: map, expected a sequence"},
        Case{with_op(R"({"kind":"select","fields":[null]})"), "error: invalid type: null, expected struct FieldRef"},
        Case{with_pred(R"({"kind":"xor"})"),
             "error: unknown variant `xor`, expected one of `and`, `or`, `not`, `filter`"},
        Case{with_pred(R"("and")"), "error: invalid type: string \"and\", expected internally tagged enum Predicate"},
        Case{with_pred(R"({"kind":"not"})"), "error: missing field `child`"},
        Case{with_pred(R"({"kind":"and","children":[{"kind":"not","child":{"kind":"and"}}]})"),
             "error: missing field `children`"},
        Case{with_pred(R"(["filter",{"field":{"name":"a","index":0},"value":{"type":"null"}}])"),
             "error: missing field `operator`"},
        Case{query(R"("operation":{"kind":"delete"},"vector_order_by":{"field":{"name":"a","index":0},"metric":"L2","value":{"type":"null"}})"),
             "error: unknown variant `L2`, expected one of `l2`, `cosine`, `inner_product`"},
        Case{query(R"("operation":{"kind":"delete"},"text_rank_by":{"field":{"name":"a","index":0},"query":{"type":"null"},"mode":"fuzzy"})"),
             "error: unknown variant `fuzzy`, expected one of `plain`, `phrase`, `websearch`, `boolean`"},
        Case{ordered(R"([{"field":{"name":"a","index":0},"direction":null}])"),
             "error: invalid type: null, expected enum SortDirection"},
        Case{query(R"("operation":{"kind":"delete"},"joins":[{"relation":"r"}])"), "error: missing field `alias`"},
        Case{R"([3,"M",{"kind":"delete"},[],[],null])", "error: invalid length 6, expected struct QuerySetIR with 13 elements"},
        Case{R"([3,"M",{"kind":"delete"},[],[],null,null,null,null,null,false,false,[],0])",
             "error: invalid length 14, expected struct QuerySetIR with 13 elements"},
        Case{R"(null)", "error: invalid type: null, expected struct QuerySetIR"}));

//! The query's required keys by position, then `extra` entries for the caller to write.
Mp& query_mp(Mp&& mp, std::uint32_t extra, std::string_view op = R"({"kind":"delete"})") {
  return mp.map(5 + extra).uint(0).uint(3).uint(1).str("M").uint(2).json(op).uint(3).json("[]").uint(4).json("[]");
}

TEST(IrMessagePack, PositionKeysBinKeysAndPositionTags) {
  struct MpCase {
    std::string bytes;
    std::string expected;
  };
  const std::string ref = R"({"name":"a","index":0})";
  const MpCase cases[] = {
      {query_mp(Mp(), 0).bytes(), "v3 M delete"},
      {query_mp(Mp(), 1).uint(99).str("ignored").bytes(), "v3 M delete"},
      {query_mp(Mp(), 1).bin("limit").uint(7).bytes(), "v3 M delete limit=7"},
      {query_mp(Mp(), 1).uint(5).uint(7).bytes(), "v3 M delete limit=7"},
      {query_mp(Mp(), 1).uint(0).uint(3).bytes(), "error: duplicate field `version`"},
      {query_mp(Mp(), 1).sint(-1).nil().bytes(), "error: invalid type: integer `-1`, expected field identifier"},
      {query_mp(Mp(), 1).nil().nil().bytes(), "error: invalid type: null, expected field identifier"},
      {query_mp(Mp(), 0, R"({"kind":3,"danger":true})").bytes(), "v3 M delete!"},
      {query_mp(Mp(), 0, R"({"kind":7})").bytes(), "error: invalid value: integer `7`, expected variant index 0 <= i < 7"},
      {query_mp(Mp(), 0, R"([0,[]])").bytes(), "v3 M select[]"},
      {query_mp(Mp(), 1).str("predicate").json(R"({"kind":2,"child":[3,[)" + ref + R"(,"eq",[0,null]]]})").bytes(),
       "v3 M delete pred=not((a#0 eq null))"},
      {query_mp(Mp(), 1).str("predicate").json(R"({"kind":4})").bytes(),
       "error: invalid value: integer `4`, expected variant index 0 <= i < 4"},
      {query_mp(Mp(), 1).str("order_by").json("[[" + ref + ",1]]").bytes(), "error: duplicate field `order_by`"},
      {query_mp(Mp(), 1).uint(7).json("[" + ref + ",2,[7,[1]]]").bytes(), "v3 M delete near(a#0 m2 float_array[1])"},
      {query_mp(Mp(), 1).uint(7).json("[" + ref + ",3,[7,[1]]]").bytes(),
       "error: invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {query_mp(Mp(), 1).uint(8).json("[" + ref + ",[4,\"q\"],3]").bytes(), "v3 M delete rank(a#0 text:q m3)"},
      {query_mp(Mp(), 1).uint(8).json("[" + ref + ",[4,\"q\"],4]").bytes(),
       "error: invalid value: integer `4`, expected variant index 0 <= i < 4"},
  };
  for (const MpCase& c : cases) EXPECT_EQ(ir_of(Format::MessagePack, c.bytes), c.expected);

  // Sort directions by position; any other position is the unknown direction.
  Mp order;
  order.map(5).uint(0).uint(3).uint(1).str("M").uint(2).json(R"({"kind":3})").uint(3).json("[]").uint(4);
  order.json("[[" + ref + ",1],[" + ref + ",9],[" + ref + ",-1]]");
  EXPECT_EQ(ir_of(Format::MessagePack, order.bytes()), "v3 M delete order[a#0 desc,a#0 unknown,a#0 unknown]");
}

TEST(IrJson, PositionTagsAreTypeErrors) {
  for (const char* op : {R"({"kind":3})", R"([3])"})
    EXPECT_TRUE(ir_of(Format::Json, with_op(op)).starts_with("error: invalid type: integer `3`, expected variant identifier"));
  EXPECT_TRUE(ir_of(Format::Json, ordered(R"([[{"name":"a","index":0},1]])"))
                  .starts_with("error: invalid type: integer `1`, expected enum SortDirection"));
}

TEST(IrJson, ErrorsCarryThePositionOfTheOffendingValue) {
  const Case cases[] = {
      {R"({"version":3,"version":3})", "error: duplicate field `version` at line 1 column 14"},
      {"{\n  \"version\": \"3\"\n}", "error: invalid type: string \"3\", expected u32 at line 2 column 14"},
      {R"({"version":3})", "error: missing field `model_name` at line 1 column 1"},
      // A nested object is placed at its opening brace.
      {R"({"version":3,"model_name":"M","operation":{"fields":[]}})", "error: missing field `kind` at line 1 column 43"},
      {R"( [3,"M"])", "error: invalid length 2, expected struct QuerySetIR with 13 elements at line 1 column 2"},
      {with_op(R"({"kind":"nope"})"),
       "error: unknown variant `nope`, expected one of `select`, `insert`, `update`, `delete`, `bulk_insert`, "
       "`bulk_update`, `bulk_delete` at line 1 column 78"},
  };
  for (const Case& c : cases) EXPECT_EQ(ir_of(Format::Json, c.json), c.expected);

  // The reader's own failures carry a position too; MessagePack's never do.
  const std::regex json_suffix(".* at line [0-9]+ column [0-9]+");
  for (const char* bad : {R"({"version":)", R"({"version":3}x)", R"({"version" 3})", "[1,2"})
    EXPECT_TRUE(std::regex_match(ir_of(Format::Json, bad), json_suffix)) << bad;
  for (std::string bad : {std::string("\xc1"), std::string("\x92\x01"), std::string("\xa3" "ab")}) {
    std::string got = ir_of(Format::MessagePack, bad);
    EXPECT_TRUE(got.starts_with("error: ") && got.find(" at line ") == std::string::npos) << got;
  }
}

TEST(IrJson, DeepPredicatesAreBoundedByTheReader) {
  std::string deep;
  for (int i = 0; i < 200; ++i) deep += R"({"kind":"not","child":)";
  std::string text = with_pred(deep);
  EXPECT_TRUE(ir_of(Format::Json, text).starts_with("error: ")) << "nesting beyond the reader's limit";
  std::string shallow;
  for (int i = 0; i < 60; ++i) shallow += R"({"kind":"not","child":)";
  shallow += R"({"kind":"and","children":[]})" + std::string(60, '}');
  EXPECT_TRUE(both(ir_of, with_pred(shallow)).starts_with("v3 M delete pred=not(not("));
}

}  // namespace
}  // namespace sarnic::codec::test
