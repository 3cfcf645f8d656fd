// Key order for a row or a nested object: byte order of the keys, the last of
// equal keys kept, as when the entries are assigned one by one into a map.
#include <algorithm>

#include "core/hydrate.hpp"

namespace sarnic {

namespace {

// Rows are usually a few dozen columns: insertion sort is stable, allocates
// nothing and is linear on input that is already in order.
constexpr std::size_t kInsertionSortMax = 32;

void insertion_sort(std::span<RowEntry> entries) {
  for (std::size_t i = 1; i < entries.size(); ++i) {
    RowEntry entry = entries[i];
    std::size_t j = i;
    for (; j > 0 && entry.key < entries[j - 1].key; --j) entries[j] = entries[j - 1];
    entries[j] = entry;
  }
}

bool values_ascend(std::span<const RowEntry> entries) {
  for (std::size_t i = 1; i < entries.size(); ++i)
    if (entries[i].value <= entries[i - 1].value) return false;
  return true;
}

}  // namespace

std::size_t sort_unique_entries(std::span<RowEntry> entries) {
  if (entries.size() <= kInsertionSortMax) {
    insertion_sort(entries);
  } else if (values_ascend(entries)) {
    // Entries in document order have ascending tape indices, so ordering ties
    // by index is the stable order without stable_sort's buffer.
    std::sort(entries.begin(), entries.end(), [](const RowEntry& a, const RowEntry& b) {
      if (int c = a.key.compare(b.key); c != 0) return c < 0;
      return a.value < b.value;
    });
  } else {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const RowEntry& a, const RowEntry& b) { return a.key < b.key; });
  }

  std::size_t kept = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i + 1 < entries.size() && entries[i + 1].key == entries[i].key) continue;
    entries[kept++] = entries[i];
  }
  return kept;
}

}  // namespace sarnic
