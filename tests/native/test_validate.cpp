#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/compile.hpp"
#include "model_builder.hpp"

namespace sarnic {
namespace {

using testing::IrBuilder;
using testing::ModelBuilder;

// "" for success, else the rendered error.
std::string outcome(const CompileStatus& status) { return status ? "" : status.error().render(); }

TEST(Identifier, Check) {
  const std::pair<std::string_view, bool> cases[] = {
      {"english", true},     {"pg_catalog", true}, {"2english", true}, {"_", true},          {"A_Z_09", true},
      {"", false},           {"pg_catalog.english", false},            {"my config", false}, {"sim-ple", false},
      {"en'glish", false},   {"en\"glish", false}, {"fran\xc3\xa7" "ais", false},                 {"en;", false},
      {std::string_view("en\0", 3), false},
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(is_valid_identifier(text), valid) << text;
}

TEST(FtsOperator, ExactTexts) {
  for (std::string_view op : {"match", "match_phrase", "match_websearch", "match_boolean"}) {
    EXPECT_TRUE(is_fts_operator(op)) << op;
  }
  for (std::string_view op : {"MATCH", "match ", "matches", "match_bool", "", "eq", "icontains"}) {
    EXPECT_FALSE(is_fts_operator(op)) << op;
  }
}

TEST(FtsCapable, ByTypeIndexAndSourceColumns) {
  ModelBuilder m;
  m.field("search", FieldType::TsVector)
      .field("plain", FieldType::Text)
      .field("indexed", FieldType::Text).column("indexed_col")
      .field("sourced", FieldType::Text).source_columns({"a", "b"})
      .field("empty_sources", FieldType::Text).source_columns({})
      .field("count", FieldType::Int)
      .field("tags", FieldType::ArrayText).source_columns({"tags"})
      .field("label", FieldType::Enum)
      .index("by_name", {"indexed", "count", "label"})
      .index("by_column", {"plain_col"});
  const ModelMetadata md = m.build();
  const std::pair<std::string_view, bool> cases[] = {
      {"search", true},  {"plain", false}, {"indexed", true}, {"sourced", true},
      {"empty_sources", true}, {"count", false}, {"tags", false}, {"label", false},
  };
  for (const auto& [name, capable] : cases) {
    EXPECT_EQ(is_fts_capable(md, md.fields[m.ref(name).index]), capable) << name;
  }
}

TEST(FtsCapable, FirstIndexListing) {
  ModelBuilder m;
  m.field("body", FieldType::Text).index("a", {"title"}).index("b", {"x", "body"}, "english").index("c", {"body"});
  const ModelMetadata md = m.build();
  ASSERT_NE(first_index_listing(md, "body"), nullptr);
  EXPECT_EQ(first_index_listing(md, "body")->name, "b");
  EXPECT_EQ(first_index_listing(md, "Body"), nullptr);
  EXPECT_EQ(first_index_listing(md, ""), nullptr);
}

class ValidateTest : public ::testing::Test {
 protected:
  ValidateTest() {
    m.field("id", FieldType::Int, {"eq", "gt", "match"})
        .field("title", FieldType::Text, {"eq", "icontains", "match", "match_phrase"})
        .field("body", FieldType::Text, {"match", "match_boolean"}).source_columns({"body", "summary"})
        .field("search", FieldType::TsVector, {"match", "match_phrase"})
        .field("flag", FieldType::Bool, {"eq"})
        .field("locked", FieldType::Text, {})
        .index("title_idx", {"title", "locked"}, "english");
  }
  ModelBuilder m{"Article", "articles"};
};

TEST_F(ValidateTest, Filter) {
  struct Case {
    const char* label;
    FieldRef ref;
    std::string_view op;
    std::string expected;
  };
  const std::uint64_t count = m.field_count();
  const Case cases[] = {
      {"allowed", m.ref("id"), "gt", ""},
      {"case-sensitive", m.ref("id"), "EQ", "unsupported operator 'EQ' for field 'id' on model 'Article'"},
      {"not listed", m.ref("flag"), "gt", "unsupported operator 'gt' for field 'flag' on model 'Article'"},
      {"empty allowed list", m.ref("locked"), "eq", "unsupported operator 'eq' for field 'locked' on model 'Article'"},
      {"empty list refuses full-text too", m.ref("locked"), "match",
       "unsupported operator 'match' for field 'locked' on model 'Article'"},
      {"full-text must be listed", m.ref("search"), "match_boolean",
       "unsupported operator 'match_boolean' for field 'search' on model 'Article'"},
      {"index equals count", {"id", count}, "eq", "unknown field 'id' on model 'Article'"},
      {"index far beyond", {"ghost", ~std::uint64_t{0}}, "eq", "unknown field 'ghost' on model 'Article'"},
      {"last index, any name", {"whatever", count - 1}, "eq", "unsupported operator 'eq' for field 'whatever' on "
                                                              "model 'Article'"},
      {"name is not matched", {"title", 0}, "gt", ""},
  };
  const ModelMetadata md = m.build();
  for (const auto& c : cases) {
    EXPECT_EQ(outcome(validate_filter(md, Filter{c.ref, c.op, BindValue::integer(1)})), c.expected) << c.label;
  }
}

TEST_F(ValidateTest, PredicateWalk) {
  IrBuilder q;
  const FieldRef unknown{"ghost", m.field_count()};
  struct Case {
    const char* label;
    Predicate predicate;
    std::string expected;
  };
  const Case cases[] = {
      {"empty and", q.all({}), ""},
      {"empty or", q.any({}), ""},
      {"leaf", q.leaf(m.ref("id"), "eq"), ""},
      {"not of unknown field", q.negate(q.leaf(unknown, "eq")), "unknown field 'ghost' on model 'Article'"},
      {"first failing child wins",
       q.any({q.leaf(m.ref("id"), "eq"), q.leaf(m.ref("flag"), "lt"), q.leaf(unknown, "eq")}),
       "unsupported operator 'lt' for field 'flag' on model 'Article'"},
      {"depth first", q.all({q.all({q.negate(q.leaf(unknown, "eq"))}), q.leaf(m.ref("flag"), "lt")}),
       "unknown field 'ghost' on model 'Article'"},
  };
  const ModelMetadata md = m.build();
  for (const auto& c : cases) EXPECT_EQ(outcome(validate_predicate(md, c.predicate)), c.expected) << c.label;
}

TEST_F(ValidateTest, DeepPredicateWithinDecoderLimits) {
  IrBuilder q;
  Predicate p = q.leaf(m.ref("flag"), "lt");
  for (int i = 0; i < 600; ++i) p = (i % 2) ? q.negate(p) : q.all({p});
  const ModelMetadata md = m.build();
  EXPECT_EQ(outcome(validate_predicate(md, p)), "unsupported operator 'lt' for field 'flag' on model 'Article'");
  EXPECT_EQ(outcome(validate_predicate_fts(md, p)), "");
}

TEST_F(ValidateTest, FtsFilter) {
  IrBuilder q;
  struct Case {
    const char* label;
    FieldRef ref;
    std::string_view op;
    BindValue value;
    std::string expected;
  };
  const Case cases[] = {
      {"ts_vector", m.ref("search"), "match", q.text("cats"), ""},
      {"indexed text", m.ref("title"), "match_phrase", q.text("cats"), ""},
      {"text with source columns", m.ref("body"), "match_boolean", q.text("+cats"), ""},
      {"int field", m.ref("id"), "match", q.text("x"), "unsupported operator 'match' for field 'id' on model 'Article'"},
      {"bool field", m.ref("flag"), "match_websearch", q.text("x"),
       "unsupported operator 'match_websearch' for field 'flag' on model 'Article'"},
      {"int value", m.ref("search"), "match_phrase", BindValue::integer(3),
       "malformed IR: FTS operator match_phrase requires a text bind value"},
      {"null value", m.ref("title"), "match", BindValue::null(),
       "malformed IR: FTS operator match requires a text bind value"},
      {"text array value", m.ref("title"), "match", q.texts({"a"}),
       "malformed IR: FTS operator match requires a text bind value"},
      {"datetime is not text", m.ref("title"), "match", q.datetime("2024-01-01"),
       "malformed IR: FTS operator match requires a text bind value"},
      {"capability before value", m.ref("flag"), "match", BindValue::integer(1),
       "unsupported operator 'match' for field 'flag' on model 'Article'"},
      {"unknown", {"nope", m.field_count()}, "match", q.text("x"), "unknown field 'nope' on model 'Article'"},
  };
  const ModelMetadata md = m.build();
  for (const auto& c : cases) {
    EXPECT_EQ(outcome(validate_fts_filter(md, Filter{c.ref, c.op, c.value})), c.expected) << c.label;
  }
}

TEST(FtsFieldMetadata, Identifiers) {
  struct Case {
    const char* label;
    std::function<void(ModelBuilder&)> setup;
    std::string expected;
  };
  const Case cases[] = {
      {"nothing set", [](ModelBuilder&) {}, ""},
      {"valid config", [](ModelBuilder& m) { m.fts_config("english"); }, ""},
      {"leading digit", [](ModelBuilder& m) { m.fts_config("2english"); }, ""},
      {"empty config", [](ModelBuilder& m) { m.fts_config(""); }, R"(malformed IR: invalid fts_config identifier: "")"},
      {"schema-qualified", [](ModelBuilder& m) { m.fts_config("pg_catalog.english"); },
       R"(malformed IR: invalid fts_config identifier: "pg_catalog.english")"},
      {"quote injection", [](ModelBuilder& m) { m.fts_config("english'::regconfig) --"); },
       R"(malformed IR: invalid fts_config identifier: "english'::regconfig) --")"},
      {"escaped in quoted form", [](ModelBuilder& m) { m.fts_config("a\"b\\c\n"); },
       R"(malformed IR: invalid fts_config identifier: "a\"b\\c\n")"},
      {"first bad source column", [](ModelBuilder& m) { m.source_columns({"body", "bad col", "also-bad"}); },
       R"(malformed IR: invalid fts_source_columns identifier: "bad col")"},
      {"empty source column", [](ModelBuilder& m) { m.source_columns({""}); },
       R"(malformed IR: invalid fts_source_columns identifier: "")"},
      {"config before columns",
       [](ModelBuilder& m) { m.fts_config("bad config").source_columns({"bad col"}); },
       R"(malformed IR: invalid fts_config identifier: "bad config")"},
      {"empty source list", [](ModelBuilder& m) { m.source_columns({}); }, ""},
  };
  for (const auto& c : cases) {
    ModelBuilder m;
    m.field("body", FieldType::Text);
    c.setup(m);
    EXPECT_EQ(outcome(validate_fts_field_metadata(m.build().fields[0])), c.expected) << c.label;
  }
}

// A field without its own config borrows the config of the first index that
// lists it, which PostgreSQL writes between single quotes.
TEST(FtsBorrowedConfig, MatchAndRank) {
  constexpr const char* kBad = R"(malformed IR: invalid fts_config identifier: "english') OR ('1")";
  struct Case {
    const char* label;
    std::function<void(ModelBuilder&)> setup;
    std::string expected;
  };
  const Case cases[] = {
      {"bad index config", [](ModelBuilder& m) { m.index("i", {"body"}, "english') OR ('1"); }, kBad},
      {"bad config on ts_vector's index",
       [](ModelBuilder& m) { m.field("search", FieldType::TsVector).index("i", {"search"}, "english') OR ('1"); },
       kBad},
      {"valid index config", [](ModelBuilder& m) { m.index("i", {"body"}, "english"); }, ""},
      {"own config wins",
       [](ModelBuilder& m) { m.fts_config("simple").index("i", {"body"}, "english') OR ('1"); }, ""},
      {"first listing index has no config",
       [](ModelBuilder& m) { m.index("i", {"body"}).index("j", {"body"}, "english') OR ('1"); }, ""},
      {"bad config on an index not listing the field",
       [](ModelBuilder& m) { m.source_columns({"body"}).index("i", {"other"}, "english') OR ('1"); }, ""},
      {"empty index config", [](ModelBuilder& m) { m.index("i", {"body"}, ""); },
       R"(malformed IR: invalid fts_config identifier: "")"},
      {"source columns checked first",
       [](ModelBuilder& m) { m.source_columns({"bad col"}).index("i", {"body"}, "bad config"); },
       R"(malformed IR: invalid fts_source_columns identifier: "bad col")"},
  };
  for (const auto& c : cases) {
    ModelBuilder m;
    m.field("body", FieldType::Text, {"match"});
    c.setup(m);
    const FieldRef ref = m.ref(m.field_count() == 2 ? "search" : "body");
    const ModelMetadata md = m.build();
    IrBuilder q;
    EXPECT_EQ(outcome(validate_fts_filter(md, Filter{ref, "match", q.text("cats")})), c.expected)
        << "match: " << c.label;
    q.select().rank(ref, q.text("cats"));
    EXPECT_EQ(outcome(validate_text_search(md, q.build())), c.expected) << "rank: " << c.label;
  }
}

TEST_F(ValidateTest, TextSearch) {
  struct Case {
    const char* label;
    std::function<void(IrBuilder&)> setup;
    std::string expected;
  };
  const FieldRef unknown{"ghost", m.field_count()};
  const Case cases[] = {
      {"nothing to check", [](IrBuilder&) {}, ""},
      {"plain filters skipped", [&](IrBuilder& q) { q.filter(unknown, "eq").filter(m.ref("flag"), "gt"); }, ""},
      {"full-text filter", [&](IrBuilder& q) { q.filter(m.ref("flag"), "match", q.text("x")); },
       "unsupported operator 'match' for field 'flag' on model 'Article'"},
      {"filters before predicate",
       [&](IrBuilder& q) {
         q.filter(m.ref("id"), "match", q.text("x")).where(q.leaf(m.ref("flag"), "match", q.text("x")));
       },
       "unsupported operator 'match' for field 'id' on model 'Article'"},
      {"full-text leaf in predicate",
       [&](IrBuilder& q) {
         q.where(q.any({q.leaf(unknown, "eq"), q.negate(q.leaf(m.ref("search"), "match", BindValue::number(1.5)))}));
       },
       "malformed IR: FTS operator match requires a text bind value"},
      {"predicate before rank",
       [&](IrBuilder& q) {
         q.where(q.leaf(m.ref("id"), "match_phrase", q.text("x"))).rank(m.ref("flag"), q.text("x"));
       },
       "unsupported operator 'match_phrase' for field 'id' on model 'Article'"},
      {"rank on ts_vector", [&](IrBuilder& q) { q.rank(m.ref("search"), q.text("x"), TextSearchMode::Boolean); }, ""},
      {"rank on bool", [&](IrBuilder& q) { q.rank(m.ref("flag"), q.text("x")); },
       "unsupported operator 'rank_by' for field 'flag' on model 'Article'"},
      {"rank with float query", [&](IrBuilder& q) { q.rank(m.ref("title"), BindValue::number(1.0)); },
       "malformed IR: text_rank_by.query must be a text bind value"},
      {"rank on unknown field", [&](IrBuilder& q) { q.rank(unknown, q.text("x")); },
       "unknown field 'ghost' on model 'Article'"},
      {"rank ignores allowed operators", [&](IrBuilder& q) { q.rank(m.ref("locked"), q.text("x")); }, ""},
  };
  const ModelMetadata md = m.build();
  for (const auto& c : cases) {
    IrBuilder q;
    q.select();
    c.setup(q);
    EXPECT_EQ(outcome(validate_text_search(md, q.build())), c.expected) << c.label;
  }
}

}  // namespace
}  // namespace sarnic
