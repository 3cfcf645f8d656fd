#pragma once
// The four SQL dialects, as data: each dialect is a row of traits that the
// emitters ask instead of branching on the dialect everywhere.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/metadata.hpp"

namespace sarnic {

enum class Paging : std::uint8_t {
  LimitOffset,      //!< LIMIT ? OFFSET ?
  OffsetFetchNext,  //!< OFFSET ? ROWS FETCH NEXT ? ROWS ONLY
};

enum class WriteReturn : std::uint8_t {
  None,            //!< the statement returns nothing
  Returning,       //!< RETURNING <columns> at the end
  OutputInserted,  //!< OUTPUT INSERTED.<column>, ... inside the statement
};

struct DialectTraits {
  char open_quote;            //!< identifier quotes
  char close_quote;           //!< doubled when it occurs inside an identifier
  bool numbered_placeholders; //!< $1, $2, ... instead of ?
  std::string_view icontains; //!< operator for case-insensitive contains
  Paging paging;
  WriteReturn write_return;
  bool bulk_update;           //!< UPDATE ... FROM (VALUES ...) is supported
  bool vector_order;          //!< the <-> <=> <#> distance operators exist
};

struct Dialect {
  enum Kind : std::uint8_t { Postgres, MySql, Sqlite, Mssql };
  Kind kind = Postgres;

  constexpr bool operator==(const Dialect&) const = default;

  //! ASCII case folding only; "postgres", "postgresql", "mysql", "mariadb",
  //! "sqlite", "mssql", "sqlserver". Anything else: none.
  static std::optional<Dialect> parse(std::string_view name);
  //! The identifier between the dialect's quotes, the closing quote doubled inside.
  static std::string quote_ident(Dialect dialect, std::string_view identifier);

  const DialectTraits& traits() const;
};

//! Appending forms for the emitters' single growing statement.
void append_quoted(std::string& out, Dialect dialect, std::string_view identifier);
//! "$n" (numbered dialects) or "?".
void append_placeholder(std::string& out, Dialect dialect, std::uint64_t number);

//! 64-bit FNV-1a of the text, as 16 lowercase hex digits.
std::string fingerprint(std::string_view sql_text);

//! PostgreSQL cast name used where a placeholder is cast explicitly (bulk update).
std::string_view pg_cast_name(FieldType type);

}  // namespace sarnic
