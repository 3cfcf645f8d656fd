#include <gtest/gtest.h>

#include <string>

#include "core/error.hpp"

namespace sarnic {
namespace {

struct RenderCase {
  const char* label;
  CompileError error;
  std::string expected;
};

TEST(ErrorRender, CompileErrorTexts) {
  const RenderCase cases[] = {
      {"unknown field", unknown_field("Article", "titel"), "unknown field 'titel' on model 'Article'"},
      {"unknown field, empty texts", unknown_field("", ""), "unknown field '' on model ''"},
      {"single quotes kept", unknown_field("O'Brien", "it's"), "unknown field 'it's' on model 'O'Brien'"},
      {"unsupported operator", unsupported_operator("Article", "age", "EQ"),
       "unsupported operator 'EQ' for field 'age' on model 'Article'"},
      {"nearest_to", unsupported_operator("Doc", "body", "nearest_to"),
       "unsupported operator 'nearest_to' for field 'body' on model 'Doc'"},
      {"sort direction", invalid_sort_direction("Article", "title"),
       "invalid sort direction 'unknown' for field 'title' on model 'Article'"},
      {"version 2", unsupported_version(2), "IR version 2 is not supported (expected 3)"},
      {"version 4", unsupported_version(4), "IR version 4 is not supported (expected 3)"},
      {"version 7", unsupported_version(7), "IR version 7 is not supported (expected 3)"},
      {"version max", unsupported_version(4294967295u), "IR version 4294967295 is not supported (expected 3)"},
      {"malformed", malformed_ir("bulk_insert requires at least one row"),
       "malformed IR: bulk_insert requires at least one row"},
      {"malformed, empty message", malformed_ir(""), "malformed IR: "},
      {"unscoped delete", unscoped_mutation("Article", "delete"),
       "operation 'delete' on model 'Article' requires at least one filter; use the danger API for unscoped "
       "mutations"},
      {"unscoped update", unscoped_mutation("Article", "update"),
       "operation 'update' on model 'Article' requires at least one filter; use the danger API for unscoped "
       "mutations"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.render(), c.expected) << c.label;
}

TEST(ErrorRender, HydrateErrorTexts) {
  EXPECT_EQ(missing_column("User", "id").render(), "column 'id' missing from result set for model 'User'");
  EXPECT_EQ(null_in_non_nullable("User", "id").render(), "non-nullable column 'id' on model 'User' contains NULL");
  EXPECT_EQ(missing_column("", "").render(), "column '' missing from result set for model ''");
}

TEST(ErrorRender, ErrorsOwnTheirTexts) {
  std::string model = "Article", field = "title";
  const CompileError e = unknown_field(model, field);
  model.assign(64, 'x');
  field.assign(64, 'y');
  EXPECT_EQ(e.render(), "unknown field 'title' on model 'Article'");
}

struct QuotedCase {
  std::string input;
  std::string expected;
};

TEST(QuotedForm, Escapes) {
  using namespace std::string_literals;
  const QuotedCase cases[] = {
      {"oracle", R"("oracle")"},
      {"", R"("")"},
      {"a\"b", R"("a\"b")"},
      {"a\\b", R"("a\\b")"},
      {"\t\n\r", R"("\t\n\r")"},
      {"a\0b"s, R"("a\0b")"},
      {"\x01", R"("\u{1}")"},
      {"\x1b[0m", R"("\u{1b}[0m")"},
      {"\x7f", R"("\u{7f}")"},
      {"\xc2\x80", R"("\u{80}")"},      // first C1 control
      {"\xc2\x9f", R"("\u{9f}")"},      // last C1 control
      {"\xc2\xa0", "\"\xc2\xa0\""},     // no-break space is printable
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
      {"\xe6\x97\xa5\xe6\x9c\xac", "\"\xe6\x97\xa5\xe6\x9c\xac\""},
      {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
      {"it's", R"("it's")"},
      {"pg catalog.english", R"("pg catalog.english")"},
  };
  for (const auto& c : cases) EXPECT_EQ(quoted_form(c.input), c.expected) << c.input;
}

TEST(QuotedForm, InvalidUtf8EscapesEachBadByte) {
  const QuotedCase cases[] = {
      {"\xff", R"("\u{ff}")"},
      {"a\x80z", R"("a\u{80}z")"},
      {"\xc3", R"("\u{c3}")"},                       // truncated two-byte sequence
      {"\xe6\x97", R"("\u{e6}\u{97}")"},             // truncated three-byte sequence
      {"\xc0\xaf", R"("\u{c0}\u{af}")"},             // overlong slash
      {"\xed\xa0\x80", R"("\u{ed}\u{a0}\u{80}")"},   // surrogate
      {"\xf4\x90\x80\x80", R"("\u{f4}\u{90}\u{80}\u{80}")"},  // beyond U+10FFFF
      {"\xc3\xa9\xff", "\"\xc3\xa9\\u{ff}\""},
  };
  for (const auto& c : cases) EXPECT_EQ(quoted_form(c.input), c.expected);
}

TEST(ErrorRender, UnknownDialectMessage) {
  const CompileError e =
      malformed_ir("unknown dialect " + quoted_form("or\"a\\cle\t") + "; expected postgres, mysql, sqlite, or mssql");
  EXPECT_EQ(e.render(),
            R"(malformed IR: unknown dialect "or\"a\\cle\t"; expected postgres, mysql, sqlite, or mssql)");
}

}  // namespace
}  // namespace sarnic
