#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/compile.hpp"
#include "model_builder.hpp"

namespace sarnic {
namespace {

using testing::IrBuilder;
using testing::ModelBuilder;
using Row = IrBuilder::Row;

struct DriverCase {
  const char* label;
  std::function<void(IrBuilder&)> setup;
  std::string expected;  // "" for success
};

class CompileTest : public ::testing::Test {
 protected:
  CompileTest() {
    m.field("id", FieldType::Int, {"eq", "gt", "match"})
        .field("title", FieldType::Text, {"eq", "match"})
        .field("views", FieldType::Int, {"gte"})
        .field("embedding", FieldType::Vector).dimensions(3)
        .field("search", FieldType::TsVector, {"match"})
        .index("title_idx", {"title"}, "english");
    id = m.ref("id");
    title = m.ref("title");
    views = m.ref("views");
    embedding = m.ref("embedding");
    search = m.ref("search");
    ghost = {"ghost", m.field_count()};
  }

  void run(std::span<const DriverCase> cases) {
    const ModelMetadata md = m.build();
    for (const auto& c : cases) {
      IrBuilder q;
      q.select();
      c.setup(q);
      const CompileStatus status = compile(md, q.build());
      EXPECT_EQ(status ? "" : status.error().render(), c.expected) << c.label;
    }
  }

  ModelBuilder m{"Article", "articles"};
  FieldRef id, title, views, embedding, search, ghost;
};

const std::string kGhost = "unknown field 'ghost' on model 'Article'";

TEST_F(CompileTest, VersionComesFirst) {
  const DriverCase cases[] = {
      {"version 3", [](IrBuilder&) {}, ""},
      {"version 2, broken body",
       [&](IrBuilder& q) { q.version(2).select({ghost}).filter(ghost, "eq").order(ghost, SortDirection::Unknown); },
       "IR version 2 is not supported (expected 3)"},
      {"version 4 unscoped delete", [](IrBuilder& q) { q.version(4).delete_(); },
       "IR version 4 is not supported (expected 3)"},
      {"version 0", [](IrBuilder& q) { q.version(0); }, "IR version 0 is not supported (expected 3)"},
  };
  run(cases);
}

TEST_F(CompileTest, FieldReferences) {
  const std::uint64_t count = m.field_count();
  const DriverCase cases[] = {
      {"empty select", [](IrBuilder& q) { q.select({}); }, ""},
      {"index count - 1, any name", [&](IrBuilder& q) { q.select({{"not_a_field", count - 1}}); }, ""},
      {"index equals count", [&](IrBuilder& q) { q.select({id, {"id", count}}); },
       "unknown field 'id' on model 'Article'"},
      {"first unknown in list order", [&](IrBuilder& q) { q.select({{"a", count}, {"b", count + 1}}); },
       "unknown field 'a' on model 'Article'"},
      {"empty name", [&](IrBuilder& q) { q.select({{"", count}}); }, "unknown field '' on model 'Article'"},
      {"insert", [&](IrBuilder& q) { q.insert({{title, q.text("a")}, {ghost, BindValue::null()}}); }, kGhost},
      {"insert with no values", [](IrBuilder& q) { q.insert({}); }, ""},
  };
  run(cases);
}

TEST_F(CompileTest, MutationScope) {
  const std::string unscoped_update =
      "operation 'update' on model 'Article' requires at least one filter; use the danger API for unscoped mutations";
  const std::string unscoped_delete =
      "operation 'delete' on model 'Article' requires at least one filter; use the danger API for unscoped mutations";
  const DriverCase cases[] = {
      {"delete unscoped", [](IrBuilder& q) { q.delete_(); }, unscoped_delete},
      {"delete with filter", [&](IrBuilder& q) { q.delete_().filter(id, "eq"); }, ""},
      {"delete with predicate only", [&](IrBuilder& q) { q.delete_().where(q.leaf(id, "eq")); }, ""},
      {"delete with danger", [](IrBuilder& q) { q.delete_(true); }, ""},
      {"update unscoped beats unknown assignment", [&](IrBuilder& q) { q.update({{ghost, BindValue::integer(1)}}); },
       unscoped_update},
      {"scoped update with unknown assignment",
       [&](IrBuilder& q) { q.update({{views, BindValue::integer(1)}, {ghost, BindValue::integer(1)}}).filter(id, "eq"); },
       kGhost},
      {"update with danger", [&](IrBuilder& q) { q.update({{views, BindValue::integer(1)}}, true); }, ""},
      {"update with predicate", [&](IrBuilder& q) { q.update({{views, BindValue::integer(1)}}).where(q.leaf(id, "eq")); },
       ""},
      // An empty group matches every row, so it scopes nothing.
      {"update scoped by an empty group",
       [&](IrBuilder& q) { q.update({{views, BindValue::integer(1)}}).where(q.all({})); }, unscoped_update},
      {"delete scoped by an empty group", [&](IrBuilder& q) { q.delete_().where(q.all({})); }, unscoped_delete},
  };
  run(cases);
}

TEST_F(CompileTest, BulkInsert) {
  const std::string same_columns = "malformed IR: bulk_insert rows must share the same columns";
  const auto row = [&](IrBuilder& q, std::vector<FieldRef> refs) {
    Row r;
    for (const FieldRef& f : refs) r.push_back({f, q.text("v")});
    return r;
  };
  const DriverCase cases[] = {
      {"no rows", [](IrBuilder& q) { q.bulk_insert({}); }, "malformed IR: bulk_insert requires at least one row"},
      {"equal rows", [&](IrBuilder& q) { q.bulk_insert({row(q, {title, views}), row(q, {title, views})}); }, ""},
      {"2 then 3 entries",
       [&](IrBuilder& q) { q.bulk_insert({row(q, {title, views}), row(q, {title, views, id})}); }, same_columns},
      {"all rows empty", [](IrBuilder& q) { q.bulk_insert({{}, {}, {}}); }, ""},
      {"empty first row, later row not", [&](IrBuilder& q) { q.bulk_insert({{}, row(q, {title})}); }, same_columns},
      {"unknown field in a later row",
       [&](IrBuilder& q) { q.bulk_insert({row(q, {title, views}), row(q, {title, ghost})}); }, kGhost},
      {"earlier row's count error first",
       [&](IrBuilder& q) { q.bulk_insert({row(q, {title}), row(q, {title, views}), row(q, {ghost})}); },
       same_columns},
      // Counts alone would let the second row's values land in the first row's columns.
      {"same count, swapped fields",
       [&](IrBuilder& q) { q.bulk_insert({row(q, {title, views}), row(q, {views, title})}); }, same_columns},
      {"same count, other field",
       [&](IrBuilder& q) { q.bulk_insert({row(q, {title, views}), row(q, {title, id})}); }, same_columns},
      {"same index, other name",
       [&](IrBuilder& q) { q.bulk_insert({row(q, {title}), row(q, {FieldRef{"Title", title.index}})}); }, ""},
  };
  run(cases);
}

TEST_F(CompileTest, BulkUpdate) {
  using Values = IrBuilder::Values;
  const Values one{BindValue::integer(1)};
  const Values two{BindValue::integer(1), BindValue::integer(2)};
  const DriverCase cases[] = {
      {"valid", [&](IrBuilder& q) { q.bulk_update({id}, {title, views}, {{one, two}, {one, two}}); }, ""},
      {"no rows and no fields", [&](IrBuilder& q) { q.bulk_update({}, {}, {}); },
       "malformed IR: bulk_update requires at least one row"},
      {"no fields", [&](IrBuilder& q) { q.bulk_update({}, {}, {{one, one}}); },
       "malformed IR: bulk_update requires at least one field"},
      {"no pk fields", [&](IrBuilder& q) { q.bulk_update({}, {title}, {{one, one}}); },
       "malformed IR: bulk_update requires at least one pk_field"},
      {"unknown pk before unknown field",
       [&](IrBuilder& q) { q.bulk_update({{"pk", m.field_count()}}, {ghost}, {{one, one}}); },
       "unknown field 'pk' on model 'Article'"},
      {"unknown field before counts", [&](IrBuilder& q) { q.bulk_update({id}, {ghost}, {{two, two}}); }, kGhost},
      {"both counts wrong", [&](IrBuilder& q) { q.bulk_update({id}, {title}, {{two, two}}); },
       "malformed IR: bulk_update row value count must match fields"},
      {"pk count wrong", [&](IrBuilder& q) { q.bulk_update({id}, {title}, {{one, one}, {{}, one}}); },
       "malformed IR: bulk_update row pk_values count must match pk_fields"},
  };
  run(cases);
}

TEST_F(CompileTest, BulkDelete) {
  using Values = IrBuilder::Values;
  const DriverCase cases[] = {
      {"valid", [&](IrBuilder& q) { q.bulk_delete({id}, {{BindValue::integer(1)}}); }, ""},
      {"no ids and no key", [](IrBuilder& q) { q.bulk_delete({}, {}); },
       "malformed IR: bulk_delete requires at least one id"},
      {"no key", [](IrBuilder& q) { q.bulk_delete({}, {{BindValue::integer(1)}}); },
       "malformed IR: bulk_delete requires at least one pk_field"},
      {"unknown key", [&](IrBuilder& q) { q.bulk_delete({id, ghost}, {{BindValue::integer(1)}}); }, kGhost},
      {"id rows not inspected", [&](IrBuilder& q) { q.bulk_delete({id}, {Values{}, Values{}}); }, ""},
  };
  run(cases);
}

TEST_F(CompileTest, JoinsSortAndVector) {
  const DriverCase cases[] = {
      {"join ok", [&](IrBuilder& q) { q.join(id, "authors", "author"); }, ""},
      {"join unknown local field before empty alias", [&](IrBuilder& q) { q.join(ghost, "authors", ""); }, kGhost},
      {"join empty alias", [&](IrBuilder& q) { q.join(id, "authors", ""); },
       "malformed IR: join spec missing remote_table or alias"},
      {"join empty remote table", [&](IrBuilder& q) { q.join(id, "", "author"); },
       "malformed IR: join spec missing remote_table or alias"},
      {"sort ok", [&](IrBuilder& q) { q.order(title).order(views, SortDirection::Desc); }, ""},
      {"sort unknown field before direction", [&](IrBuilder& q) { q.order(ghost, SortDirection::Unknown); }, kGhost},
      {"sort direction", [&](IrBuilder& q) { q.order(title).order(views, SortDirection::Unknown); },
       "invalid sort direction 'unknown' for field 'views' on model 'Article'"},
      {"nearest float array", [&](IrBuilder& q) { q.nearest(embedding, q.floats({1, 2, 3})); }, ""},
      {"nearest int array", [&](IrBuilder& q) { q.nearest(embedding, q.ints({1, 2, 3}), VectorMetric::Cosine); }, ""},
      {"nearest on text field", [&](IrBuilder& q) { q.nearest(title, q.floats({1})); },
       "unsupported operator 'nearest_to' for field 'title' on model 'Article'"},
      {"nearest with text value", [&](IrBuilder& q) { q.nearest(embedding, q.text("[1,2,3]")); },
       "malformed IR: vector_order_by.value must be float_array or int_array"},
      {"nearest with text array", [&](IrBuilder& q) { q.nearest(embedding, q.texts({"1"})); },
       "malformed IR: vector_order_by.value must be float_array or int_array"},
      {"nearest type before value", [&](IrBuilder& q) { q.nearest(views, BindValue::null()); },
       "unsupported operator 'nearest_to' for field 'views' on model 'Article'"},
      {"nearest unknown field", [&](IrBuilder& q) { q.nearest(ghost, q.floats({1})); }, kGhost},
  };
  run(cases);
}

// Each case breaks two steps; the earlier step must report.
TEST_F(CompileTest, StepOrder) {
  const std::string bad_join = "malformed IR: join spec missing remote_table or alias";
  const std::string bad_sort = "invalid sort direction 'unknown' for field 'title' on model 'Article'";
  const std::string bad_vector = "unsupported operator 'nearest_to' for field 'title' on model 'Article'";
  const std::string fts_on_int = "unsupported operator 'match' for field 'id' on model 'Article'";
  const DriverCase cases[] = {
      {"operation before filters", [&](IrBuilder& q) { q.select({ghost}).filter(id, "lt"); }, kGhost},
      {"filters before predicate", [&](IrBuilder& q) { q.filter(id, "lt").where(q.leaf(ghost, "eq")); },
       "unsupported operator 'lt' for field 'id' on model 'Article'"},
      {"filter before join", [&](IrBuilder& q) { q.filter(ghost, "eq").join(id, "authors", ""); }, kGhost},
      {"predicate before join", [&](IrBuilder& q) { q.where(q.leaf(views, "eq")).join(id, "", ""); },
       "unsupported operator 'eq' for field 'views' on model 'Article'"},
      {"join before sort",
       [&](IrBuilder& q) { q.join(id, "authors", "").order(title, SortDirection::Unknown); }, bad_join},
      {"sort before vector",
       [&](IrBuilder& q) { q.order(title, SortDirection::Unknown).nearest(title, q.floats({1})); }, bad_sort},
      {"sort before full-text",
       [&](IrBuilder& q) { q.order(title, SortDirection::Unknown).rank(views, q.text("x")); }, bad_sort},
      {"vector before full-text",
       [&](IrBuilder& q) { q.nearest(title, q.floats({1})).filter(id, "match", q.text("x")); }, bad_vector},
      {"full-text capability after the rest passed", [&](IrBuilder& q) { q.filter(id, "match", q.text("x")); },
       fts_on_int},
      // A full-text leaf is checked twice: allowed operators at step 4, capability at step 8.
      {"leaf operator not allowed: step 4",
       [&](IrBuilder& q) { q.where(q.leaf(views, "match", q.text("x"))).order(title, SortDirection::Unknown); },
       "unsupported operator 'match' for field 'views' on model 'Article'"},
      {"leaf field not capable: step 8",
       [&](IrBuilder& q) { q.where(q.leaf(id, "match", q.text("x"))).order(title, SortDirection::Unknown); },
       bad_sort},
      {"everything well formed",
       [&](IrBuilder& q) {
         q.select({id, title})
             .filter(title, "match", q.text("cats"))
             .where(q.any({q.leaf(search, "match", q.text("dogs")), q.negate(q.leaf(views, "gte"))}))
             .join(id, "authors", "author")
             .order(views, SortDirection::Desc)
             .nearest(embedding, q.floats({0.5, 0.25, 1}))
             .rank(title, q.text("cats"))
             .limit(10)
             .offset(5);
       },
       ""},
  };
  run(cases);
}

}  // namespace
}  // namespace sarnic
