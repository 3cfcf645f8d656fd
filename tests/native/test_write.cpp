// The write emitters built from records directly: the guards that the Python
// entry cannot reach, and statements that must stay in step with their
// parameter lists whatever the row count.
#include <gtest/gtest.h>

#include <algorithm>
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

using Emitter = CompileResult<CompiledQuery> (*)(Dialect, const ModelMetadata&, const QuerySetIR&);

ModelBuilder articles() {
  ModelBuilder m("Article", "articles");
  m.field("id", FieldType::Int, {"eq"}).field("title", FieldType::Text).field("views", FieldType::Int).column("view_count");
  return m;
}

std::string message_of(const CompileResult<CompiledQuery>& r) { return r ? std::string("<success>") : r.error().render(); }

struct WrongOperation {
  const char* name;
  Emitter emit;
  std::string message;
};

class WrongOperationCases : public ::testing::TestWithParam<WrongOperation> {};

// Every emitter refuses an IR of another operation, even one that passed validation.
TEST_P(WrongOperationCases, Refused) {
  const WrongOperation& c = GetParam();
  ModelBuilder m = articles();
  const ModelMetadata md = m.build();
  std::vector<std::function<void(IrBuilder&)>> others = {
      [&](IrBuilder& q) { q.select({m.ref("id")}); },
      [&](IrBuilder& q) { q.insert({{m.ref("title"), q.text("a")}}); },
      [&](IrBuilder& q) { q.update({{m.ref("title"), q.text("a")}}, true); },
      [&](IrBuilder& q) { q.delete_(true); },
      [&](IrBuilder& q) { q.bulk_insert({{{m.ref("title"), q.text("a")}}}); },
      [&](IrBuilder& q) { q.bulk_update({m.ref("id")}, {m.ref("title")}, {{{BindValue::integer(1)}, {q.text("a")}}}); },
      [&](IrBuilder& q) { q.bulk_delete({m.ref("id")}, {{BindValue::integer(1)}}); },
  };
  int refused = 0;
  for (const auto& build : others) {
    IrBuilder q;
    build(q);
    const QuerySetIR ir = q.build();
    auto r = c.emit(kPg, md, ir);
    if (r) continue;  // its own operation
    EXPECT_EQ(r.error().render(), "malformed IR: " + c.message);
    ++refused;
  }
  EXPECT_EQ(refused, 6);
}

INSTANTIATE_TEST_SUITE_P(
    Write, WrongOperationCases,
    ::testing::Values(
        WrongOperation{"insert", emit_insert, "emit_insert called with non-Insert operation"},
        WrongOperation{"update", emit_update, "emit_update called with non-Update operation"},
        WrongOperation{"delete", emit_delete, "emit_delete called with non-Delete operation"},
        WrongOperation{"bulk_insert", emit_bulk_insert, "emit_bulk_insert called with non-BulkInsert operation"},
        WrongOperation{"bulk_update", emit_bulk_update, "emit_bulk_update called with non-BulkUpdate operation"},
        WrongOperation{"bulk_delete", emit_bulk_delete, "emit_bulk_delete called with non-BulkDelete operation"}),
    [](const auto& info) { return std::string(info.param.name); });

// Validation runs before the operation guard: its error wins.
TEST(Write, ValidationBeforeGuard) {
  ModelBuilder m = articles();
  IrBuilder q;
  q.version(2).delete_(true);
  EXPECT_EQ(message_of(emit_insert(kPg, m.build(), q.build())), "IR version 2 is not supported (expected 3)");
}

struct Shape {
  Dialect dialect;
  std::size_t rows, width;
};

class BulkInsertShapes : public ::testing::TestWithParam<Shape> {};

// Appended rather than concatenated: g++ 12 warns falsely on "c" + std::string.
std::string numbered(char prefix, std::size_t n) {
  std::string s(1, prefix);
  s += std::to_string(n);
  return s;
}

// The placeholders written, the values bound and the labels stay in step across
// rows, including where PostgreSQL numbers gain a digit.
TEST_P(BulkInsertShapes, PlaceholdersMatchParameters) {
  const Shape& s = GetParam();
  ModelBuilder m("Wide", "wide");
  for (std::size_t i = 0; i < s.width; ++i) m.field(numbered('c', i), FieldType::Int);
  std::vector<IrBuilder::Row> rows(s.rows);
  for (std::size_t r = 0; r < s.rows; ++r) {
    for (std::size_t i = 0; i < s.width; ++i) {
      rows[r].push_back({m.ref(numbered('c', i)), BindValue::integer(static_cast<std::int64_t>(r * s.width + i))});
    }
  }
  IrBuilder q;
  q.bulk_insert(std::move(rows), true);
  auto r = emit_bulk_insert(s.dialect, m.build(), q.build());
  ASSERT_TRUE(r) << r.error().render();
  const std::size_t total = s.rows * s.width;
  ASSERT_EQ(r->bound_params.size(), total);
  ASSERT_EQ(r->param_type_summary.size(), total);
  for (std::size_t i = 0; i < total; ++i) ASSERT_EQ(r->bound_params[i].as_int(), static_cast<std::int64_t>(i));
  const char mark = s.dialect == kPg ? '$' : '?';
  EXPECT_EQ(static_cast<std::size_t>(std::count(r->sql_text.begin(), r->sql_text.end(), mark)), total);
  if (s.dialect == kPg && total > 0) {
    EXPECT_NE(r->sql_text.find(numbered('$', total) + ")"), std::string::npos);
  }
  EXPECT_EQ(r->fingerprint, fingerprint(r->sql_text));
}

INSTANTIATE_TEST_SUITE_P(Write, BulkInsertShapes,
                         ::testing::Values(Shape{kPg, 1, 1}, Shape{kPg, 3, 3}, Shape{kPg, 34, 3}, Shape{kPg, 1000, 7},
                                           Shape{kMy, 50, 2}, Shape{kLite, 50, 2}, Shape{kMs, 50, 2},
                                           Shape{kPg, 5, 0}, Shape{kMs, 5, 0}));

// The amended statements, one per dialect row.
struct Statement {
  const char* name;
  Dialect dialect;
  std::function<void(ModelBuilder&, IrBuilder&)> build;
  Emitter emit;
  std::string sql;
};

class Statements : public ::testing::TestWithParam<Statement> {};

TEST_P(Statements, Emits) {
  const Statement& c = GetParam();
  ModelBuilder m = articles();
  IrBuilder q;
  c.build(m, q);
  auto r = c.emit(c.dialect, m.build(), q.build());
  ASSERT_TRUE(r) << r.error().render();
  EXPECT_EQ(r->sql_text, c.sql);
  EXPECT_EQ(r->bound_params.size(), r->param_type_summary.size());
}

void empty_insert(ModelBuilder&, IrBuilder& q) { q.insert({}); }

void composite_delete(ModelBuilder& m, IrBuilder& q) {
  m.pk_fields({0, 2});
  q.bulk_delete({m.ref("id"), m.ref("views")}, {{BindValue::integer(1), BindValue::integer(10)},
                                                {BindValue::integer(2), BindValue::integer(20)}});
}

INSTANTIATE_TEST_SUITE_P(
    Write, Statements,
    ::testing::Values(
        Statement{"empty_insert_pg", kPg, empty_insert, emit_insert,
                  R"(INSERT INTO "articles" DEFAULT VALUES RETURNING "id", "title", "view_count")"},
        Statement{"empty_insert_sqlite", kLite, empty_insert, emit_insert,
                  R"(INSERT INTO "articles" DEFAULT VALUES RETURNING "id", "title", "view_count")"},
        Statement{"empty_insert_mssql", kMs, empty_insert, emit_insert,
                  "INSERT INTO [articles] OUTPUT INSERTED.[id], INSERTED.[title], INSERTED.[view_count] DEFAULT VALUES"},
        Statement{"empty_insert_mysql", kMy, empty_insert, emit_insert, "INSERT INTO `articles` () VALUES ()"},
        Statement{"composite_delete_mssql", kMs, composite_delete, emit_bulk_delete,
                  "DELETE FROM [articles] WHERE ([id] = ? AND [view_count] = ?) OR ([id] = ? AND [view_count] = ?)"},
        Statement{"composite_delete_pg", kPg, composite_delete, emit_bulk_delete,
                  R"(DELETE FROM "articles" WHERE ("id", "view_count") IN (($1, $2), ($3, $4)))"},
        Statement{"bulk_update_pg", kPg,
                  [](ModelBuilder& m, IrBuilder& q) {
                    q.bulk_update({m.ref("id")}, {m.ref("views")}, {{{BindValue::integer(1)}, {BindValue::integer(5)}}});
                  },
                  emit_bulk_update,
                  R"(UPDATE "articles" AS t SET "view_count" = v."view_count" FROM (VALUES ($1::bigint, $2::bigint)) AS v("id", "view_count") WHERE t."id" = v."id")"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sarnic
