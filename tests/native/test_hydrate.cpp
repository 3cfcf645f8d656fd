// The row check: required columns present and not null, first failure by row
// then field order. Rows are built directly as key-sorted entries over a tape
// of scalar events, so these tests need no reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <string>
#include <vector>

#include "core/hydrate.hpp"
#include "model_builder.hpp"

namespace sarnic {
namespace {

struct Col {
  std::string key;
  TapeKind kind = TapeKind::UInt;
};
using Row = std::vector<Col>;

struct Batch {
  std::deque<std::string> keys;
  Tape tape;
  RowBatch rows;
};

void build(Batch& b, const std::vector<Row>& rows) {
  b.rows.tape = &b.tape;
  for (const Row& row : rows) {
    std::size_t begin = b.rows.entries.size();
    for (const Col& c : row) {
      TapeEvent e{};
      e.kind = c.kind;
      e.end = static_cast<std::uint32_t>(b.tape.size() + 1);
      b.rows.entries.push_back({b.keys.emplace_back(c.key), static_cast<std::uint32_t>(b.tape.size())});
      b.tape.push_back(e);
    }
    std::sort(b.rows.entries.begin() + static_cast<std::ptrdiff_t>(begin), b.rows.entries.end(),
              [](const RowEntry& x, const RowEntry& y) { return x.key < y.key; });
    b.rows.row_end.push_back(static_cast<std::uint32_t>(b.rows.entries.size()));
  }
}

struct Field {
  std::string name, column;
  bool nullable = false;
};

enum class Outcome { Ok, Missing, Null };

struct Case {
  const char* label;
  std::vector<Field> fields;
  std::vector<Row> rows;
  Outcome outcome;
  std::string column;  //!< the column the error names
};

const std::vector<Field> kIdNick = {{"id", "id", false}, {"nickname", "nick", true}};
constexpr TapeKind N = TapeKind::Null;

const Case kCases[] = {
    {"nullable null", kIdNick, {{{"id"}, {"nick", N}}}, Outcome::Ok, ""},
    {"required missing", kIdNick, {{{"nick", TapeKind::String}}}, Outcome::Missing, "id"},
    {"required null", kIdNick, {{{"id", N}}}, Outcome::Null, "id"},
    {"first field wins", {{"b", "b"}, {"a", "a"}}, {{{"x"}}}, Outcome::Missing, "b"},
    {"null before missing in field order", {{"z", "z"}, {"a", "a"}}, {{{"z", N}}}, Outcome::Null, "z"},
    {"earliest row wins", {{"id", "id"}, {"v", "v"}},
     {{{"id"}, {"v"}}, {{"id"}}, {{"id"}, {"v"}}, {{"id"}, {"v"}}, {{"v"}}}, Outcome::Missing, "v"},
    {"falsy values pass", {{"a", "a"}, {"b", "b"}, {"c", "c"}},
     {{{"a", TapeKind::False}, {"b", TapeKind::String}, {"c", TapeKind::Array}}}, Outcome::Ok, ""},
    {"extra columns ignored", {{"id", "id"}}, {{{"id"}, {"joined__x", N}, {"zzz", N}}}, Outcome::Ok, ""},
    {"all nullable accepts empty rows", {{"a", "a", true}}, {{}, {}}, Outcome::Ok, ""},
    {"empty row", {{"a", "a"}}, {{}}, Outcome::Missing, "a"},
    {"empty column name", {{"e", ""}}, {{{"", N}}}, Outcome::Null, ""},
    {"prefix is not a match", {{"id", "id"}}, {{{"i"}, {"idx"}}}, Outcome::Missing, "id"},
    // The second row has another layout: the position learnt from the first row is wrong.
    {"layout changes between rows", {{"m", "m"}},
     {{{"a"}, {"m"}, {"z"}}, {{"m", N}, {"z"}}}, Outcome::Null, "m"},
    {"byte order, not case order", {{"B", "B"}}, {{{"a"}, {"b"}, {"B"}}}, Outcome::Ok, ""},
};

class HydrateCase : public ::testing::TestWithParam<Case> {};

TEST_P(HydrateCase, ChecksRows) {
  const Case& c = GetParam();
  testing::ModelBuilder m("Person", "people");
  for (const Field& f : c.fields) m.field(f.name, FieldType::Int).column(f.column).nullable(f.nullable);
  ModelMetadata md = m.build();
  Batch b;
  build(b, c.rows);

  auto result = hydrate_rows(md, b.rows);
  switch (c.outcome) {
    case Outcome::Ok: EXPECT_TRUE(result.has_value()) << result.error().render(); break;
    case Outcome::Missing:
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().render(), "column '" + c.column + "' missing from result set for model 'Person'");
      break;
    case Outcome::Null:
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().render(), "non-nullable column '" + c.column + "' on model 'Person' contains NULL");
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, HydrateCase, ::testing::ValuesIn(kCases), [](const auto& info) {
  std::string name = info.param.label;
  std::replace_if(name.begin(), name.end(), [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
  return name;
});

TEST(Hydrate, ValueOutsideTheTapeIsAnInternalFault) {
  testing::ModelBuilder m;
  m.field("id", FieldType::Int);
  Batch b;
  build(b, {{{"id"}}});
  b.rows.entries[0].value = 99;
  EXPECT_THROW((void)hydrate_rows(m.build(), b.rows), InternalFault);
}

}  // namespace
}  // namespace sarnic
