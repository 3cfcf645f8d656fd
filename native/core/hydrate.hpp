#pragma once
// Checks a batch of fetched rows against the model: every non-nullable column
// present and not null. Rows stay on the tape; a row is a key-sorted view of
// its entries (byte order, last duplicate wins), so nothing is converted or
// copied before the batch has passed.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/metadata.hpp"
#include "core/tape.hpp"

namespace sarnic {

struct RowEntry {
  std::string_view key;
  std::uint32_t value = 0;  //!< tape index of the value's first event
};

struct RowBatch {
  const Tape* tape = nullptr;
  std::vector<RowEntry> entries;       //!< all rows' entries, each row sorted by key
  std::vector<std::uint32_t> row_end;  //!< row r is entries[row_end[r-1] (or 0) .. row_end[r])

  std::size_t row_count() const { return row_end.size(); }
  std::span<const RowEntry> row(std::size_t r) const {
    std::size_t begin = r == 0 ? 0 : row_end[r - 1];
    return {entries.data() + begin, row_end[r] - begin};
  }
};

//! Sorts `entries` by key (byte order) and keeps the last of equal keys, in place;
//! returns the new size. Shared by the row decoder and nested-object conversion.
std::size_t sort_unique_entries(std::span<RowEntry> entries);

//! Rows in order, fields in order; the first failure decides.
std::expected<void, HydrateError> hydrate_rows(const ModelMetadata& metadata, const RowBatch& rows);

}  // namespace sarnic
