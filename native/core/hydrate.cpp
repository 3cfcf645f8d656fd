#include "core/hydrate.hpp"

#include <algorithm>

#include "core/internal_fault.hpp"

namespace sarnic {
namespace {

// The columns a row must hold, in field order.
struct Required {
  std::string_view column;
  std::size_t hint = 0;  //!< where the previous row had it
};

}  // namespace

std::expected<void, HydrateError> hydrate_rows(const ModelMetadata& metadata, const RowBatch& rows) {
  if (rows.row_count() == 0) return {};
  if (rows.tape == nullptr) internal_fault("row batch without a tape");
  const Tape& tape = *rows.tape;

  std::vector<Required> required;
  for (const FieldMeta& field : metadata.fields) {
    if (!field.nullable) required.push_back({field.column_name});
  }
  if (required.empty()) return {};

  for (std::size_t r = 0; r < rows.row_count(); ++r) {
    std::span<const RowEntry> row = rows.row(r);
    for (Required& req : required) {
      // Rows of one result set usually share their layout, so the previous
      // row's position is tried before the binary search.
      const RowEntry* found = nullptr;
      if (req.hint < row.size() && row[req.hint].key == req.column) {
        found = &row[req.hint];
      } else {
        auto it = std::lower_bound(row.begin(), row.end(), req.column,
                                   [](const RowEntry& e, std::string_view key) { return e.key < key; });
        if (it == row.end() || it->key != req.column) {
          return std::unexpected(missing_column(metadata.model_name, req.column));
        }
        found = &*it;
        req.hint = static_cast<std::size_t>(it - row.begin());
      }
      if (found->value >= tape.size()) internal_fault("row value outside the tape");
      if (tape[found->value].kind == TapeKind::Null) {
        return std::unexpected(null_in_non_nullable(metadata.model_name, req.column));
      }
    }
  }
  return {};
}

}  // namespace sarnic
