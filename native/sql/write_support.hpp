#pragma once
// Pieces shared by the single-row and the bulk write emitters: their fixed
// messages, output sizing and the hand-over of a finished statement.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/compiled_query.hpp"
#include "core/error.hpp"
#include "sql/dialect.hpp"

namespace sarnic::write {

// Every fixed message of the write path.
inline constexpr std::string_view kNotInsert = "emit_insert called with non-Insert operation";
inline constexpr std::string_view kNotUpdate = "emit_update called with non-Update operation";
inline constexpr std::string_view kNotDelete = "emit_delete called with non-Delete operation";
inline constexpr std::string_view kNotBulkInsert = "emit_bulk_insert called with non-BulkInsert operation";
inline constexpr std::string_view kNotBulkUpdate = "emit_bulk_update called with non-BulkUpdate operation";
inline constexpr std::string_view kNotBulkDelete = "emit_bulk_delete called with non-BulkDelete operation";
inline constexpr std::string_view kBulkUpdateDialect =
    "bulk_update is only supported on PostgreSQL (not MySQL, SQLite, or MSSQL)";
inline constexpr std::string_view kRowsDiffer = "bulk_insert rows must share the same columns";
inline constexpr std::string_view kIdRowEmpty = "BulkDelete id row is empty";
inline constexpr std::string_view kIdRowShort = "BulkDelete id row has fewer values than pk_fields";

[[gnu::cold, gnu::noinline]] inline CompileError fail(std::string_view message) {
  return malformed_ir(std::string(message));
}

constexpr std::size_t decimal_digits(std::uint64_t n) {
  std::size_t d = 1;
  while (n >= 10) {
    n /= 10;
    ++d;
  }
  return d;
}

//! Longest placeholder written while numbers stay at or below `last`.
inline std::size_t placeholder_width(Dialect dialect, std::uint64_t last) {
  return dialect.traits().numbered_placeholders ? 1 + decimal_digits(last) : 1;
}

//! Size of an identifier once quoted, ignoring the rare doubled quote.
constexpr std::size_t quoted_size(std::string_view identifier) { return identifier.size() + 2; }

//! Size of the RETURNING / OUTPUT column list of a model.
inline std::size_t return_list_size(std::span<const FieldMeta> fields, bool inserted_prefix) {
  std::size_t n = 0;
  for (const FieldMeta& f : fields) n += quoted_size(f.column_name) + 2 + (inserted_prefix ? 9 : 0);
  return n;
}

//! Moves the statement and its parameters into the result and fingerprints it.
inline CompiledQuery finish(std::string&& sql, Params&& params) {
  CompiledQuery q;
  q.fingerprint = fingerprint(sql);
  q.sql_text = std::move(sql);
  q.bound_params = std::move(params.values);
  q.param_type_summary = std::move(params.labels);
  return q;
}

}  // namespace sarnic::write
