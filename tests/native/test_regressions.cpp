// Faults found by fuzzing and hostile-input testing, each kept as the input
// that showed it, plus the guards no Python input can reach.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <string_view>

#include "codec/decode.hpp"
#include "codec/reader.hpp"
#include "core/hydrate.hpp"
#include "model_builder.hpp"
#include "sql/emit.hpp"

namespace sarnic {
namespace {

using testing::IrBuilder;
using testing::ModelBuilder;

std::string message_of(const CompileResult<CompiledQuery>& r) {
  if (r) return "<compiled: " + r->sql_text + ">";
  return r.error().render();
}

// Each emitter refuses an IR of another operation; dispatch never sends one,
// so only a direct call can reach these texts.
TEST(Regressions, EmittersRefuseOtherOperations) {
  ModelBuilder m;
  m.field("id", FieldType::Int, {"eq"}).field("title", FieldType::Text, {"eq"});
  const ModelMetadata md = m.build();
  IrBuilder select_ir, insert_ir;
  select_ir.select({m.ref("id")});
  insert_ir.insert({{m.ref("title"), insert_ir.text("x")}});
  const QuerySetIR sel = select_ir.build(), ins = insert_ir.build();

  using Emitter = CompileResult<CompiledQuery> (*)(Dialect, const ModelMetadata&, const QuerySetIR&);
  const struct {
    Emitter emit;
    const QuerySetIR* ir;
    const char* message;
  } cases[] = {
      {emit_select, &ins, "malformed IR: emit_select called with non-Select operation"},
      {emit_insert, &sel, "malformed IR: emit_insert called with non-Insert operation"},
      {emit_update, &sel, "malformed IR: emit_update called with non-Update operation"},
      {emit_delete, &sel, "malformed IR: emit_delete called with non-Delete operation"},
      {emit_bulk_insert, &sel, "malformed IR: emit_bulk_insert called with non-BulkInsert operation"},
      {emit_bulk_update, &sel, "malformed IR: emit_bulk_update called with non-BulkUpdate operation"},
      {emit_bulk_delete, &sel, "malformed IR: emit_bulk_delete called with non-BulkDelete operation"},
  };
  for (const auto& c : cases) {
    for (Dialect::Kind k : {Dialect::Postgres, Dialect::MySql, Dialect::Sqlite, Dialect::Mssql}) {
      EXPECT_EQ(message_of(c.emit(Dialect{k}, md, *c.ir)), c.message) << c.message << " dialect " << int(k);
    }
  }
}

// A float given in JSON is the nearest double to its decimal text. RapidJSON's
// own conversion gave 0e308 as -6.06e-269 and 0.000...0e308 as 2.8e-14.
TEST(Regressions, JsonNumbersConvertExactly) {
  const struct {
    std::string_view text;
    double value;
  } cases[] = {
      {"0e308", 0.0},
      {"0E+308", 0.0},
      {"-0e308", -0.0},
      {"0.00000000000000000000000e308", 0.0},
      {"0.0000000000000000000000000000000000000001e300", 1e260},
      {"1e308", 1e308},
      {"2.2250738585072011e-308", 2.2250738585072011e-308},
      {"4.9406564584124654e-324", 4.9406564584124654e-324},
      {"0.1", 0.1},
      {"18446744073709551616", 18446744073709551616.0},
      {"-9223372036854775809", -9223372036854775809.0},
      {"1.7976931348623157e308", 1.7976931348623157e308},
      {"123456789012345678901234567890e-10", 12345678901234567890.1234567890},
      // Below the smallest denormal: rounds to a zero of the number's sign.
      {"1e-400", 0.0},
      {"-1000e-400", -0.0},
      {"0.001e-322", 0.0},
      {"12.5e-99999999999999999999", 0.0},
  };
  for (const auto& c : cases) {
    Arena arena;
    Tape tape;
    std::string doc = "[";
    doc.append(c.text).append("]");
    ASSERT_TRUE(codec::read_json(doc, arena, tape).has_value()) << c.text;
    ASSERT_EQ(tape.size(), 2u) << c.text;
    ASSERT_EQ(tape[1].kind, TapeKind::Double) << c.text;
    EXPECT_EQ(tape[1].d, c.value) << c.text;
    EXPECT_EQ(std::signbit(tape[1].d), std::signbit(c.value)) << c.text;
  }
}

TEST(Regressions, HydrationNeverFaults) {
  // Rows hold no positions into the metadata: whatever the batch, the
  // hydrator answers with a verdict, never an internal fault.
  ModelBuilder m("User", "users");
  m.field("id", FieldType::Int).field("nick", FieldType::Text).nullable();
  const ModelMetadata md = m.build();
  const std::string_view batches[] = {"[]", "[{}]", R"([{"id":null}])", R"([{"id":1},{"nick":2}])",
                                      R"([{"id":{"id":null}},{"id":[]}])"};
  for (std::string_view batch : batches) {
    Arena arena;
    Tape tape;
    auto rows = codec::decode_rows(codec::Format::Json, batch, arena, tape);
    ASSERT_TRUE(rows.has_value()) << batch;
    EXPECT_NO_THROW((void)hydrate_rows(md, *rows)) << batch;
  }
}

}  // namespace
}  // namespace sarnic
