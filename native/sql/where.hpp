#pragma once
// WHERE conditions: flat filters and predicate trees, written straight into the
// statement under construction with every compared value bound and labelled.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/compiled_query.hpp"
#include "core/error.hpp"
#include "core/ir.hpp"
#include "core/metadata.hpp"
#include "sql/dialect.hpp"

namespace sarnic {

//! A base-table column as the read path writes it: the quoted column, prefixed
//! with the (already quoted) base table reference and "." when `qualify` is set.
//! Views only, so it can be handed down instead of a rendered text.
struct ColumnRef {
  std::string_view base_table_ref;
  std::string_view column_name;  //!< unquoted
  bool qualify = false;
};

//! Appends the quoted column, qualified with `base_table_ref` when `qualify`.
void qualify_base_column(std::string& out, Dialect dialect, std::string_view base_table_ref,
                         std::string_view column_name, bool qualify);
inline void append_column(std::string& out, Dialect dialect, const ColumnRef& column) {
  qualify_base_column(out, dialect, column.base_table_ref, column.column_name, column.qualify);
}

//! Appends one filter's condition; returns the value to bind for its placeholder
//! (numbered `param_number`), or none when the operator binds nothing.
std::optional<BindValue> filter_clause(std::string& out, Dialect dialect, const ModelMetadata& metadata,
                                       std::uint64_t field_index, const ColumnRef& column, std::string_view op,
                                       std::uint64_t param_number, const BindValue& value);

//! Appends the condition of a predicate tree, binding its values into `params`.
CompileStatus emit_predicate(std::string& out, Dialect dialect, const ModelMetadata& metadata,
                             const Predicate& predicate, std::string_view base_table_ref, bool qualify,
                             Params& params);

//! Whether the IR carries any condition (filters or a predicate).
inline bool has_where_condition(const QuerySetIR& ir) { return !ir.filters.empty() || ir.predicate.has_value(); }

//! Appends `keyword` (for example " WHERE ") and the whole condition: filters
//! first, then the predicate; one condition bare, two or more as "(a AND b)".
//! Writes nothing, not even the keyword, when there is no condition. Returns
//! whether a condition was written. Placeholders continue from `params`.
CompileResult<bool> build_where_sql(std::string& out, Dialect dialect, const ModelMetadata& metadata,
                                    const QuerySetIR& ir, std::string_view base_table_ref, bool qualify,
                                    Params& params, std::string_view keyword);

}  // namespace sarnic
