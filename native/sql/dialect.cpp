#include "sql/dialect.hpp"

#include <array>
#include <charconv>

namespace sarnic {
namespace {

// One row per dialect, in the order of Dialect::Kind.
constexpr std::array<DialectTraits, 4> kTraits{{
    // Postgres
    {
        .open_quote = '"',
        .close_quote = '"',
        .numbered_placeholders = true,  // $1, $2, ...
        .icontains = "ILIKE",           // LIKE is case-sensitive here
        .paging = Paging::LimitOffset,
        .write_return = WriteReturn::Returning,
        .bulk_update = true,   // UPDATE ... FROM (VALUES ...) with casts
        .vector_order = true,  // pgvector
    },
    // MySql (also MariaDB)
    {
        .open_quote = '`',
        .close_quote = '`',
        .numbered_placeholders = false,
        .icontains = "LIKE",  // default collations are case-insensitive
        .paging = Paging::LimitOffset,
        .write_return = WriteReturn::None,  // no RETURNING in MySQL
        .bulk_update = false,
        .vector_order = false,
    },
    // Sqlite
    {
        .open_quote = '"',
        .close_quote = '"',
        .numbered_placeholders = false,
        .icontains = "LIKE",  // ASCII case-insensitive
        .paging = Paging::LimitOffset,
        .write_return = WriteReturn::Returning,  // since SQLite 3.35
        .bulk_update = false,
        .vector_order = false,
    },
    // Mssql
    {
        .open_quote = '[',
        .close_quote = ']',
        .numbered_placeholders = false,  // positional ? through the driver
        .icontains = "LIKE",             // default collations are case-insensitive
        .paging = Paging::OffsetFetchNext,
        .write_return = WriteReturn::OutputInserted,
        .bulk_update = false,
        .vector_order = false,
    },
}};

static_assert(kTraits[Dialect::Postgres].open_quote == '"');
static_assert(kTraits[Dialect::Mssql].close_quote == ']');

struct NamedDialect {
  std::string_view name;
  Dialect::Kind kind;
};

constexpr std::array<NamedDialect, 7> kNames{{
    {"postgres", Dialect::Postgres},
    {"postgresql", Dialect::Postgres},
    {"mysql", Dialect::MySql},
    {"mariadb", Dialect::MySql},
    {"sqlite", Dialect::Sqlite},
    {"mssql", Dialect::Mssql},
    {"sqlserver", Dialect::Mssql},
}};

// The longest accepted name; anything longer cannot match.
constexpr std::size_t kMaxNameLength = 10;

}  // namespace

std::optional<Dialect> Dialect::parse(std::string_view name) {
  if (name.size() > kMaxNameLength) return std::nullopt;
  char folded[kMaxNameLength];
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    folded[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  const std::string_view key(folded, name.size());
  for (const NamedDialect& entry : kNames) {
    if (entry.name == key) return Dialect{entry.kind};
  }
  return std::nullopt;
}

const DialectTraits& Dialect::traits() const { return kTraits[kind]; }

void append_quoted(std::string& out, Dialect dialect, std::string_view identifier) {
  const DialectTraits& t = dialect.traits();
  out.push_back(t.open_quote);
  std::size_t start = 0;
  for (std::size_t pos = identifier.find(t.close_quote); pos != std::string_view::npos;
       pos = identifier.find(t.close_quote, start)) {
    out.append(identifier.substr(start, pos + 1 - start));
    out.push_back(t.close_quote);
    start = pos + 1;
  }
  out.append(identifier.substr(start));
  out.push_back(t.close_quote);
}

std::string Dialect::quote_ident(Dialect dialect, std::string_view identifier) {
  std::string out;
  out.reserve(identifier.size() + 2);
  append_quoted(out, dialect, identifier);
  return out;
}

void append_placeholder(std::string& out, Dialect dialect, std::uint64_t number) {
  if (!dialect.traits().numbered_placeholders) {
    out.push_back('?');
    return;
  }
  char buf[21];
  buf[0] = '$';
  auto [end, ec] = std::to_chars(buf + 1, buf + sizeof buf, number);
  (void)ec;  // 20 digits always suffice for 64 bits
  out.append(buf, end);
}

std::string fingerprint(std::string_view sql_text) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : sql_text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i) {
    out[static_cast<std::size_t>(i)] = kHex[hash & 0xF];
    hash >>= 4;
  }
  return out;
}

std::string_view pg_cast_name(FieldType type) {
  switch (type) {
    case FieldType::Int: return "bigint";
    case FieldType::BigInt: return "bigint";
    case FieldType::Float: return "double precision";
    case FieldType::Decimal: return "numeric";  // exact: a double would round past ~15 digits
    case FieldType::Text: return "text";
    case FieldType::Bool: return "boolean";
    case FieldType::Datetime: return "timestamptz";
    case FieldType::Date: return "date";
    case FieldType::Time: return "time";
    case FieldType::Uuid: return "text";
    case FieldType::Json: return "jsonb";
    case FieldType::Bytes: return "bytea";
    case FieldType::Vector: return "vector";
    case FieldType::TsVector: return "text";
    case FieldType::ArrayText: return "text[]";
    case FieldType::ArrayInt: return "bigint[]";
    case FieldType::ArrayUuid: return "text[]";
    case FieldType::ArrayFloat: return "double precision[]";
    case FieldType::Enum: return "text";
  }
  return "text";
}

}  // namespace sarnic
