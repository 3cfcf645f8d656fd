#include <gtest/gtest.h>

#include <string>

#include "sql/dialect.hpp"

namespace sarnic {
namespace {

constexpr Dialect kPg{Dialect::Postgres}, kMy{Dialect::MySql}, kLite{Dialect::Sqlite}, kMs{Dialect::Mssql};

TEST(DialectParse, AcceptedNames) {
  const std::pair<const char*, Dialect::Kind> cases[] = {
      {"postgres", Dialect::Postgres}, {"postgresql", Dialect::Postgres}, {"PostgreSQL", Dialect::Postgres},
      {"POSTGRES", Dialect::Postgres}, {"mysql", Dialect::MySql},         {"MariaDB", Dialect::MySql},
      {"mariadb", Dialect::MySql},     {"sqlite", Dialect::Sqlite},       {"SQLite", Dialect::Sqlite},
      {"mssql", Dialect::Mssql},       {"SqlServer", Dialect::Mssql},     {"sqlserver", Dialect::Mssql},
  };
  for (const auto& [name, kind] : cases) {
    const auto d = Dialect::parse(name);
    ASSERT_TRUE(d.has_value()) << name;
    EXPECT_EQ(d->kind, kind) << name;
  }
}

TEST(DialectParse, RefusedNames) {
  using namespace std::string_literals;
  const std::string cases[] = {
      "",           " postgres",  "postgres ",    "pg",         "mssql2019",   "oracle",
      "postgre",    "postgresqll", "sql server",  "sqlite3",    "postgres\0"s, "my-sql",
      // Unicode case folding is not applied: a dotless capital I does not fold to i.
      "Mar\xc4\xb0" "aDB",
      std::string(4096, 'p'),
  };
  for (const auto& name : cases) EXPECT_FALSE(Dialect::parse(name).has_value()) << name;
}

struct QuoteCase {
  Dialect dialect;
  std::string identifier;
  std::string expected;
};

TEST(DialectQuote, AllDialects) {
  const QuoteCase cases[] = {
      {kPg, "title", R"("title")"},
      {kLite, "title", R"("title")"},
      {kMy, "title", "`title`"},
      {kMs, "title", "[title]"},
      {kPg, "", R"("")"},
      {kLite, "", R"("")"},
      {kMy, "", "``"},
      {kMs, "", "[]"},
      {kPg, R"(a"b)", R"("a""b")"},
      {kLite, R"(a"b)", R"("a""b")"},
      {kPg, R"(x""y)", R"("x""""y")"},
      {kPg, R"(")", R"("""")"},
      {kMy, "x`y", "`x``y`"},
      {kMy, R"(x"y)", R"(`x"y`)"},
      {kMy, "``", "``````"},
      {kMs, "p]q", "[p]]q]"},
      {kMs, "p[q", "[p[q]"},
      {kMs, "]]", "[]]]]]"},
      {kPg, "tab`le]", R"("tab`le]")"},
      {kPg, "sch.tbl", R"("sch.tbl")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Dialect::quote_ident(c.dialect, c.identifier), c.expected) << c.identifier;
    std::string out = "x ";
    append_quoted(out, c.dialect, c.identifier);
    EXPECT_EQ(out, "x " + c.expected);
  }
}

TEST(DialectPlaceholder, NumberedOnlyInPostgres) {
  const std::pair<std::uint64_t, const char*> pg[] = {
      {1, "$1"}, {2, "$2"}, {10, "$10"}, {65535, "$65535"}, {18446744073709551615ull, "$18446744073709551615"}};
  for (const auto& [n, text] : pg) {
    std::string out;
    append_placeholder(out, kPg, n);
    EXPECT_EQ(out, text);
  }
  for (const Dialect d : {kMy, kLite, kMs}) {
    std::string out;
    for (std::uint64_t n = 1; n <= 3; ++n) append_placeholder(out, d, n);
    EXPECT_EQ(out, "???");
  }
}

TEST(DialectTraits, Table) {
  EXPECT_EQ(kPg.traits().icontains, "ILIKE");
  for (const Dialect d : {kMy, kLite, kMs}) EXPECT_EQ(d.traits().icontains, "LIKE");
  EXPECT_EQ(kMs.traits().paging, Paging::OffsetFetchNext);
  for (const Dialect d : {kPg, kMy, kLite}) EXPECT_EQ(d.traits().paging, Paging::LimitOffset);
  EXPECT_EQ(kPg.traits().write_return, WriteReturn::Returning);
  EXPECT_EQ(kLite.traits().write_return, WriteReturn::Returning);
  EXPECT_EQ(kMy.traits().write_return, WriteReturn::None);
  EXPECT_EQ(kMs.traits().write_return, WriteReturn::OutputInserted);
  EXPECT_TRUE(kPg.traits().bulk_update);
  for (const Dialect d : {kMy, kLite, kMs}) EXPECT_FALSE(d.traits().bulk_update);
}

TEST(Fingerprint, KnownValues) {
  // Reference values from an independent FNV-1a 64 implementation.
  const std::pair<const char*, const char*> cases[] = {
      {"", "cbf29ce484222325"},
      {"a", "af63dc4c8601ec8c"},
      {"foobar", "85944171f73967e8"},
      {"SELECT 1", "199e7bca63ea84f2"},
      {R"(SELECT "id" FROM "users" WHERE "age" >= $1)", "3ffdb16f5a3b1d66"},
      {"baa", "0039231913392937"},  // leading zeros kept
  };
  for (const auto& [text, hex] : cases) EXPECT_EQ(fingerprint(text), hex) << text;
}

TEST(Fingerprint, HashesBytesNotChars) {
  // Bytes >= 0x80 must not be sign-extended before the exclusive-or.
  EXPECT_EQ(fingerprint("\xc3\xa9"), "0ac21707b7181e01");
  EXPECT_EQ(fingerprint(std::string_view("\0", 1)), "af63bd4c8601b7df");
}

TEST(PgCastName, EveryFieldType) {
  const std::pair<FieldType, const char*> cases[] = {
      {FieldType::Int, "bigint"},
      {FieldType::BigInt, "bigint"},
      {FieldType::Float, "double precision"},
      {FieldType::Decimal, "numeric"},
      {FieldType::Text, "text"},
      {FieldType::Bool, "boolean"},
      {FieldType::Datetime, "timestamptz"},
      {FieldType::Date, "date"},
      {FieldType::Time, "time"},
      {FieldType::Uuid, "text"},
      {FieldType::Json, "jsonb"},
      {FieldType::Bytes, "bytea"},
      {FieldType::Vector, "vector"},
      {FieldType::TsVector, "text"},
      {FieldType::ArrayText, "text[]"},
      {FieldType::ArrayInt, "bigint[]"},
      {FieldType::ArrayUuid, "text[]"},
      {FieldType::ArrayFloat, "double precision[]"},
      {FieldType::Enum, "text"},
  };
  static_assert(std::size(cases) == kFieldTypeCount);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(cases[i].first), i);
    EXPECT_EQ(pg_cast_name(cases[i].first), cases[i].second);
  }
}

}  // namespace
}  // namespace sarnic
