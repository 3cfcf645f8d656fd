// The read path built from records directly: WHERE, ordering, paging, SELECT
// and full-text SQL per dialect.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "model_builder.hpp"
#include "sql/emit.hpp"

namespace sarnic {
namespace {

using testing::IrBuilder;
using testing::ModelBuilder;

constexpr Dialect kPg{Dialect::Postgres}, kMy{Dialect::MySql}, kLite{Dialect::Sqlite}, kMs{Dialect::Mssql};

ModelBuilder articles() {
  ModelBuilder m("Article", "articles");
  m.field("id", FieldType::Int, {"eq"})
      .field("title", FieldType::Text, {"eq", "match"})
      .field("views", FieldType::Int, {"gte", "lt", "is_null", "startswith"})
      .field("author_id", FieldType::Int, {"eq"})
      .field("embedding", FieldType::Vector)
      .field("search", FieldType::TsVector, {"match", "match_websearch"}).column("search_vector").fts_config("english")
      .field("body", FieldType::Text, {"match", "match_phrase", "match_boolean"})
      .index("ft_articles", {"title", "body"});
  return m;
}

std::vector<std::string> labels(const CompiledQuery& q) {
  std::vector<std::string> out;
  for (const ParamLabel& l : q.param_type_summary) out.push_back(l.render());
  return out;
}

struct Case {
  const char* name;
  Dialect dialect;
  std::function<void(ModelBuilder&, IrBuilder&)> build;
  std::string sql;
  std::vector<std::string> labels;
};

class SelectCases : public ::testing::TestWithParam<Case> {};

TEST_P(SelectCases, Emits) {
  const Case& c = GetParam();
  ModelBuilder m = articles();
  IrBuilder q;
  q.select();
  c.build(m, q);
  auto r = emit_select(c.dialect, m.build(), q.build());
  ASSERT_TRUE(r.has_value()) << r.error().render();
  EXPECT_EQ(r->sql_text, c.sql);
  EXPECT_EQ(labels(*r), c.labels);
  EXPECT_EQ(r->bound_params.size(), r->param_type_summary.size());
  EXPECT_EQ(r->fingerprint, fingerprint(r->sql_text));
}

void paged(ModelBuilder& m, IrBuilder& q) {
  q.select({m.ref("id"), m.ref("title")}).filter(m.ref("views"), "gte").order(m.ref("title")).limit(10).offset(20);
}

void joined(ModelBuilder& m, IrBuilder& q) {
  q.select({m.ref("id")}).join(m.ref("author_id"), "users", "a\"u", "author", "id", {{0, "name", "na\"me"}});
}

INSTANTIATE_TEST_SUITE_P(
    ReadPath, SelectCases,
    ::testing::Values(
        Case{"pg_paged", kPg, paged,
             R"(SELECT "id", "title" FROM "articles" WHERE "views" >= $1 ORDER BY "title" ASC LIMIT $2 OFFSET $3)",
             {"views:gte", "limit:int", "offset:int"}},
        Case{"ms_paged", kMs, paged,
             "SELECT [id], [title] FROM [articles] WHERE [views] >= ? ORDER BY [title] ASC OFFSET ? ROWS FETCH NEXT ? "
             "ROWS ONLY",
             {"views:gte", "offset:int", "limit:int"}},
        Case{"my_offset_only", kMy, [](ModelBuilder&, IrBuilder& q) { q.offset(5); },
             "SELECT  FROM `articles` LIMIT 18446744073709551615 OFFSET ?", {"offset:int"}},
        Case{"lite_offset_only", kLite, [](ModelBuilder&, IrBuilder& q) { q.offset(5); },
             R"(SELECT  FROM "articles" LIMIT -1 OFFSET ?)", {"offset:int"}},
        Case{"pg_offset_only", kPg, [](ModelBuilder&, IrBuilder& q) { q.offset(5); },
             R"(SELECT  FROM "articles" OFFSET $1)", {"offset:int"}},
        Case{"ms_exists", kMs,
             [](ModelBuilder& m, IrBuilder& q) { q.exists().filter(m.ref("views"), "gte").limit(1); },
             "SELECT CASE WHEN EXISTS(SELECT 1 FROM [articles] WHERE [views] >= ? ORDER BY (SELECT NULL) OFFSET ? "
             "ROWS FETCH NEXT ? ROWS ONLY) THEN 1 ELSE 0 END",
             {"views:gte", "offset:int", "limit:int"}},
        Case{"pg_join_alias_quotes", kPg, joined,
             R"(SELECT "articles"."id", "a""u"."na""me" AS "a""u__na""me" FROM "articles" LEFT JOIN "users" AS "a""u" ON "articles"."author_id" = "a""u"."id")",
             {}},
        Case{"ms_join_alias_quotes", kMs, joined,
             R"(SELECT [articles].[id], [a"u].[na"me] AS "a""u__na""me" FROM [articles] LEFT JOIN [users] AS [a"u] ON [articles].[author_id] = [a"u].[id])",
             {}},
        Case{"pg_empty_groups", kPg,
             [](ModelBuilder& m, IrBuilder& q) {
               q.filter(m.ref("views"), "is_null").where(q.negate(q.any({q.all({}), q.any({})})));
             },
             R"(SELECT  FROM "articles" WHERE ("views" IS NULL AND NOT (((1 = 1) OR (1 = 0)))))", {}},
        Case{"pg_unknown_operator_is_equality", kPg,
             [](ModelBuilder& m, IrBuilder& q) { q.filter(m.ref("views"), "startswith"); },
             R"(SELECT  FROM "articles" WHERE "views" = $1)", {"views:startswith"}},
        Case{"pg_fts_text_field", kPg,
             [](ModelBuilder& m, IrBuilder& q) {
               q.filter(m.ref("views"), "gte").filter(m.ref("body"), "match_phrase", q.text("x"))
                   .rank(m.ref("body"), q.text("x"), TextSearchMode::Websearch);
             },
             R"(SELECT  FROM "articles" WHERE ("views" >= $1 AND to_tsvector("body") @@ phraseto_tsquery($2)) ORDER BY ts_rank(to_tsvector("body"), websearch_to_tsquery($3)) DESC NULLS LAST)",
             {"views:gte", "body:match_phrase", "body:text_rank"}},
        Case{"pg_fts_tsvector_field", kPg,
             [](ModelBuilder& m, IrBuilder& q) {
               q.filter(m.ref("search"), "match_websearch", q.text("x")).rank(m.ref("search"), q.text("x"),
                                                                               TextSearchMode::Phrase);
             },
             R"(SELECT  FROM "articles" WHERE "search_vector" @@ websearch_to_tsquery('english', $1) ORDER BY ts_rank("search_vector", phraseto_tsquery('english', $2)) DESC NULLS LAST)",
             {"search:match_websearch", "search:text_rank"}},
        Case{"my_fts", kMy,
             [](ModelBuilder& m, IrBuilder& q) {
               q.filter(m.ref("body"), "match_boolean", q.text("x")).rank(m.ref("body"), q.text("x"));
             },
             "SELECT  FROM `articles` WHERE MATCH(`title`, `body`) AGAINST (? IN BOOLEAN MODE) ORDER BY "
             "MATCH(`title`, `body`) AGAINST (? IN NATURAL LANGUAGE MODE) DESC",
             {"body:match_boolean", "body:text_rank"}},
        Case{"lite_fts", kLite,
             [](ModelBuilder& m, IrBuilder& q) {
               q.filter(m.ref("body"), "match", q.text("x")).rank(m.ref("body"), q.text("x"));
             },
             R"(SELECT  FROM "articles" WHERE "articles".rowid IN (SELECT rowid FROM "ft_articles" WHERE "ft_articles" MATCH ?) ORDER BY (SELECT bm25("ft_articles") FROM "ft_articles" WHERE "ft_articles".rowid = "articles".rowid AND "ft_articles" MATCH ?) ASC NULLS LAST)",
             {"body:match", "body:text_rank"}},
        Case{"ms_fts", kMs,
             [](ModelBuilder& m, IrBuilder& q) {
               q.filter(m.ref("body"), "match_phrase", q.text("x"))
                   .rank(m.ref("body"), q.text("x"), TextSearchMode::Websearch)
                   .limit(3);
             },
             "SELECT  FROM [articles] WHERE CONTAINS([body], ?) ORDER BY (SELECT MAX(ft.[RANK]) FROM "
             "FREETEXTTABLE([articles], ([title], [body]), ?) AS ft WHERE ft.[KEY] = [articles].[id]) DESC OFFSET ? "
             "ROWS FETCH NEXT ? ROWS ONLY",
             {"body:match_phrase", "body:text_rank", "offset:int", "limit:int"}},
        Case{"pg_vector", kPg,
             [](ModelBuilder& m, IrBuilder& q) {
               q.filter(m.ref("views"), "gte").nearest(m.ref("embedding"), q.floats({1, 2}), VectorMetric::InnerProduct);
             },
             R"(SELECT  FROM "articles" WHERE "views" >= $1 ORDER BY "embedding" <#> $2)",
             {"views:gte", "embedding:nearest_to"}}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(ReadPath, VectorOrderingOutsidePostgresIsRefused) {
  for (Dialect d : {kMy, kLite, kMs}) {
    ModelBuilder m = articles();
    IrBuilder q;
    q.select().nearest(m.ref("embedding"), q.floats({1}));
    auto r = emit_select(d, m.build(), q.build());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().render(),
              "malformed IR: vector_order_by is only supported on PostgreSQL (not MySQL, SQLite, or MSSQL)");
    // Sort keys take precedence: the vector ordering is then never written.
    q.order(m.ref("id"));
    EXPECT_TRUE(emit_select(d, m.build(), q.build()).has_value());
  }
}

TEST(ReadPath, MssqlRankWithKeyOutOfRangeIsAnInternalFault) {
  ModelBuilder m = articles();
  m.pk(99);
  IrBuilder q;
  q.select().rank(m.ref("body"), q.text("x"));
  EXPECT_THROW((void)emit_select(kMs, m.build(), q.build()), InternalFault);
}

TEST(ReadPath, SelectEmitterRefusesOtherOperations) {
  ModelBuilder m = articles();
  IrBuilder q;
  q.delete_(true);
  auto r = emit_select(kPg, m.build(), q.build());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().render(), "malformed IR: emit_select called with non-Select operation");
}

TEST(ReadPath, DispatchNamesOperationAndRejectsUnknownDialect) {
  ModelBuilder m = articles();
  IrBuilder q;
  q.select({m.ref("id")});
  auto ok = dispatch_compile(m.build(), q.build(), "PostgreSQL");
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->operation, "select");
  auto bad = dispatch_compile(m.build(), q.build(), "ora\"cle");
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().render(),
            "malformed IR: unknown dialect \"ora\\\"cle\"; expected postgres, mysql, sqlite, or mssql");
}

}  // namespace
}  // namespace sarnic
