// What the Python tests cannot reach: the select emitter's own guard, and the
// key lookup that turns a stray position into an internal fault.
#include <gtest/gtest.h>

#include "model_builder.hpp"
#include "sql/emit.hpp"

namespace sarnic {
namespace {

using testing::IrBuilder;
using testing::ModelBuilder;

ModelBuilder articles() {
  ModelBuilder m("Article", "articles");
  m.field("id", FieldType::Int, {"eq"}).field("body", FieldType::Text, {"match"}).index("ft_articles", {"body"});
  return m;
}

TEST(ReadPath, SelectEmitterRefusesOtherOperations) {
  ModelBuilder m = articles();
  IrBuilder q;
  q.delete_(true);
  auto r = emit_select(Dialect{Dialect::Postgres}, m.build(), q.build());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().render(), "malformed IR: emit_select called with non-Select operation");
}

TEST(ReadPath, MssqlRankWithKeyOutOfRangeIsAnInternalFault) {
  ModelBuilder m = articles();
  m.pk_fields({7, 0});
  IrBuilder q;
  q.select().rank(m.ref("body"), q.text("x"));
  EXPECT_THROW((void)emit_select(Dialect{Dialect::Mssql}, m.build(), q.build()), InternalFault);
  // Only the first key position is read.
  m.pk_fields({0, 7});
  EXPECT_TRUE(emit_select(Dialect{Dialect::Mssql}, m.build(), q.build()).has_value());
}

}  // namespace
}  // namespace sarnic
