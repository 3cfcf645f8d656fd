// A row batch: an array of maps with text keys. Values stay on the tape; each
// row becomes a run of (key, value index) entries sorted by key.
#include <algorithm>
#include <span>
#include <vector>

#include "codec/decode.hpp"
#include "codec/decode_records.hpp"

namespace sarnic::codec {

namespace {

constexpr std::string_view kAnyValue = "any valid JSON value";

// MessagePack only: bin and ext have no place in the value model, and nested
// maps need text keys. A map's keys are checked when the map is reached, so no
// recursion is needed however deep the value.
bool check_nested(detail::Decoder& d, std::uint32_t value) {
  const std::uint32_t end = d.next(value);
  for (std::uint32_t i = value; i < end; ++i) {
    const TapeEvent& e = d.at(i);
    switch (e.kind) {
      case TapeKind::Binary:
      case TapeKind::Extension:
        return d.fail_type(i, kAnyValue);
      case TapeKind::Map: {
        std::uint32_t key = i + 1;
        for (std::uint32_t n = e.size; n > 0; --n) {
          if (d.at(key).kind != TapeKind::String) return d.fail_type(key, "a string");
          key = d.next(d.next(key));
        }
        break;
      }
      case TapeKind::Null:
      case TapeKind::False:
      case TapeKind::True:
      case TapeKind::UInt:
      case TapeKind::Int:
      case TapeKind::Double:
      case TapeKind::String:
      case TapeKind::Array:
        break;
    }
  }
  return true;
}

// Rows of one result set repeat the same keys in the same order, so a row whose
// keys are the previous row's takes that row's sorted order instead of being
// sorted again.
class RowLayout {
 public:
  //! Sorts the row (entries in document order) in place; returns the kept count.
  std::size_t sort(std::span<RowEntry> row) {
    if (!same_keys(row)) return learn(row);
    scratch_.assign(row.begin(), row.end());
    for (std::size_t i = 0; i < order_.size(); ++i) row[i] = scratch_[order_[i]];
    return order_.size();
  }

 private:
  bool same_keys(std::span<const RowEntry> row) const {
    if (!known_ || row.size() != keys_.size()) return false;
    for (std::size_t i = 0; i < row.size(); ++i)
      if (row[i].key != keys_[i]) return false;
    return true;
  }

  std::size_t learn(std::span<RowEntry> row) {
    scratch_.assign(row.begin(), row.end());
    const std::size_t kept = sort_unique_entries(row);
    // Tape indices ascend in document order: each kept entry's position is
    // found by its value.
    keys_.resize(row.size());
    for (std::size_t i = 0; i < row.size(); ++i) keys_[i] = scratch_[i].key;
    order_.resize(kept);
    for (std::size_t i = 0; i < kept; ++i) {
      auto at = std::lower_bound(scratch_.begin(), scratch_.end(), row[i].value,
                                 [](const RowEntry& e, std::uint32_t value) { return e.value < value; });
      order_[i] = static_cast<std::uint32_t>(at - scratch_.begin());
    }
    known_ = true;
    return kept;
  }

  std::vector<std::string_view> keys_;  //!< the previous row's keys, in document order
  std::vector<std::uint32_t> order_;    //!< its sorted, deduplicated entries as positions into keys_
  std::vector<RowEntry> scratch_;
  bool known_ = false;
};

bool decode_batch(detail::Decoder& d, const Tape& tape, RowBatch& batch) {
  const TapeEvent& top = tape[0];
  if (top.kind != TapeKind::Array) return d.fail_type(0, "a sequence");

  std::size_t total = 0;
  for (std::uint32_t row = 1, n = top.size; n > 0; --n, row = d.next(row))
    if (tape[row].kind == TapeKind::Map) total += tape[row].size;
  batch.entries.reserve(total);
  batch.row_end.reserve(top.size);

  const bool check_values = d.msgpack();
  RowLayout layout;
  for (std::uint32_t row = 1, n = top.size; n > 0; --n, row = d.next(row)) {
    const TapeEvent& map = tape[row];
    if (map.kind != TapeKind::Map) return d.fail_type(row, "a map");
    const std::size_t begin = batch.entries.size();
    std::uint32_t key = row + 1;
    for (std::uint32_t k = map.size; k > 0; --k) {
      const std::uint32_t value = d.next(key);
      if (tape[key].kind != TapeKind::String) return d.fail_type(key, "a string");
      if (check_values && !check_nested(d, value)) return false;
      batch.entries.push_back({tape[key].text(), value});
      key = d.next(value);
    }
    const std::size_t kept = layout.sort(std::span(batch.entries).subspan(begin));
    batch.entries.resize(begin + kept);
    batch.row_end.push_back(static_cast<std::uint32_t>(batch.entries.size()));
  }
  return true;
}

}  // namespace

std::expected<RowBatch, std::string> decode_rows(Format format, std::string_view input, Arena& arena, Tape& tape) {
  if (auto read = detail::read_document(format, input, arena, tape); !read) return std::unexpected(std::move(read.error()));
  detail::Decoder decoder(tape, arena, format);
  RowBatch batch;
  batch.tape = &tape;
  if (!decode_batch(decoder, tape, batch)) return std::unexpected(decoder.take_error(input));
  return batch;
}

}  // namespace sarnic::codec
