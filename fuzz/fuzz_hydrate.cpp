// Metadata + a row batch through decoding and hydration. Built twice, like the
// compile target (SARNIC_FUZZ_MSGPACK=0 JSON, =1 MessagePack).
//
// Checked beyond "no crash": the tape is well formed; every row is sorted by
// key with unique keys, and each entry holds the last value given for its key;
// the hydrator's verdict equals one computed here by a plain scan; nested
// objects sort the same way; and (JSON target) the same batch replayed as
// MessagePack decodes to the same rows and the same verdict.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "codec/decode.hpp"
#include "codec/reader.hpp"
#include "core/hydrate.hpp"
#include "core/internal_fault.hpp"
#include "fuzz_support.hpp"

#ifndef SARNIC_FUZZ_MSGPACK
#define SARNIC_FUZZ_MSGPACK 0
#endif

namespace sarnic::fuzz {
namespace {

constexpr codec::Format kFormat = SARNIC_FUZZ_MSGPACK ? codec::Format::MessagePack : codec::Format::Json;

constexpr std::string_view kBuiltinMetadataJson = R"({
 "model_name": "User",
 "table_name": "users",
 "fields": [
  {"name": "id", "column_name": "id", "field_type": "int", "nullable": false, "allowed_operators": []},
  {"name": "nickname", "column_name": "nick", "field_type": "text", "nullable": true, "allowed_operators": []},
  {"name": "email", "column_name": "e\u00e9mail", "field_type": "text", "nullable": false, "allowed_operators": []},
  {"name": "blank", "column_name": "", "field_type": "json", "nullable": false, "allowed_operators": []}
 ],
 "pk_index": 0
})";

const std::string& builtin_metadata() {
  static const std::string doc = [] {
    if constexpr (kFormat == codec::Format::Json) {
      return std::string(kBuiltinMetadataJson);
    } else {
      Arena arena;
      Tape tape;
      if (!codec::read_json(kBuiltinMetadataJson, arena, tape)) broken("built-in metadata does not parse");
      return transcode_to_msgpack(tape);
    }
  }();
  return doc;
}

//! The key entries of the map at `index`, in document order.
std::vector<RowEntry> map_entries(const Tape& tape, std::size_t index) {
  std::vector<RowEntry> entries;
  std::size_t j = index + 1;
  for (std::uint32_t k = 0; k < tape[index].size; ++k) {
    const TapeEvent& key = tape[j];
    const std::size_t value = key.end;
    entries.push_back({key.kind == TapeKind::String ? key.text() : std::string_view(), static_cast<std::uint32_t>(value)});
    j = tape[value].end;
  }
  return entries;
}

//! What a sorted, de-duplicated entry list must be: byte order of the keys,
//! the last value in document order for a repeated key.
std::vector<RowEntry> expected_entries(std::vector<RowEntry> entries) {
  std::stable_sort(entries.begin(), entries.end(), [](const RowEntry& a, const RowEntry& b) { return a.key < b.key; });
  std::vector<RowEntry> out;
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (i + 1 == entries.size() || entries[i + 1].key != entries[i].key) out.push_back(entries[i]);
  return out;
}

bool same_entries(std::span<const RowEntry> a, const std::vector<RowEntry>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].key != b[i].key || a[i].value != b[i].value) return false;
  return true;
}

//! The rows as the Python layer would see them: per row, its sorted entries
//! and a canonical rendering of the values; plus the hydrator's verdict.
struct Outcome {
  bool decoded = false;
  std::string rows;
  std::string verdict;
  bool operator==(const Outcome&) const = default;
};

void render_value(const Tape& tape, std::size_t index, std::string& out) {
  // Scalars and container shapes in document order; nested maps are checked
  // for the same key order the Python conversion will use.
  const std::size_t end = tape[index].end;
  for (std::size_t i = index; i < end; ++i) {
    const TapeEvent& e = tape[i];
    switch (e.kind) {
      case TapeKind::Null: out += "n"; break;
      case TapeKind::False: out += "f"; break;
      case TapeKind::True: out += "t"; break;
      case TapeKind::UInt: out += "u" + std::to_string(e.u); break;
      case TapeKind::Int: out += "i" + std::to_string(e.i); break;
      case TapeKind::Double: out += "d" + std::to_string(e.d); break;
      case TapeKind::String: out += "s"; out.append(e.text()); break;
      case TapeKind::Binary:
      case TapeKind::Extension: broken("binary or extension value in a decoded row");
      case TapeKind::Array: out += "[" + std::to_string(e.size); break;
      case TapeKind::Map: {
        out += "{" + std::to_string(e.size);
        std::vector<RowEntry> entries = map_entries(tape, i);
        const std::vector<RowEntry> expected = expected_entries(entries);
        entries.resize(sort_unique_entries(entries));
        check(same_entries(entries, expected), "nested object: keys not sorted, not unique, or not the last value");
        break;
      }
    }
    out.push_back(',');
  }
}

Outcome run(codec::Format format, std::string_view metadata_doc, std::string_view rows_doc) {
  Outcome out;
  Arena arena;
  Tape scratch;
  auto metadata = codec::decode_metadata(format, metadata_doc, arena, scratch);
  if (!metadata) {
    check(valid_utf8(metadata.error()) && !metadata.error().empty(), "metadata error text", metadata.error());
    return out;
  }
  Tape tape;
  auto rows = codec::decode_rows(format, rows_doc, arena, tape);
  if (!rows) {
    check(valid_utf8(rows.error()) && !rows.error().empty(), "rows error text", rows.error());
    return out;
  }
  out.decoded = true;
  check(rows->tape == &tape, "batch does not view the tape");
  check(tape_well_formed(tape), "row tape is not well formed");
  check(!tape.empty() && tape[0].kind == TapeKind::Array && tape[0].size == rows->row_count(),
        "row count differs from the array");
  check(rows->row_end.empty() || rows->row_end.back() == rows->entries.size(), "row_end does not cover the entries");

  // Row r is the r-th map of the top-level array; its entries must be that
  // map's keys, sorted, unique, each with its last value.
  std::size_t at = 1;
  for (std::size_t r = 0; r < rows->row_count(); ++r) {
    check(r == 0 || rows->row_end[r - 1] <= rows->row_end[r], "row_end decreases");
    check(at < tape.size() && tape[at].kind == TapeKind::Map, "row is not a map");
    const std::span<const RowEntry> row = rows->row(r);
    check(same_entries(row, expected_entries(map_entries(tape, at))),
          "row: keys not sorted, not unique, or not the last value");
    for (const RowEntry& e : row) {
      out.rows.append(e.key);
      out.rows.push_back('=');
      render_value(tape, e.value, out.rows);
      out.rows.push_back(';');
    }
    out.rows.push_back('\n');
    at = tape[at].end;
  }

  // The verdict by a plain scan: rows in order, required fields in order.
  std::string expected;
  for (std::size_t r = 0; r < rows->row_count() && expected.empty(); ++r) {
    for (const FieldMeta& f : metadata->fields) {
      if (f.nullable) continue;
      const std::span<const RowEntry> row = rows->row(r);
      const RowEntry* hit = nullptr;
      for (const RowEntry& e : row)
        if (e.key == f.column_name) hit = &e;
      if (!hit) {
        expected = missing_column(metadata->model_name, f.column_name).render();
        break;
      }
      if (tape[hit->value].kind == TapeKind::Null) {
        expected = null_in_non_nullable(metadata->model_name, f.column_name).render();
        break;
      }
    }
  }
  auto verdict = hydrate_rows(*metadata, *rows);
  out.verdict = verdict ? std::string() : verdict.error().render();
  check(out.verdict == expected, "hydration verdict differs from a plain scan", out.verdict + " / " + expected);
  check(valid_utf8(out.verdict), "hydration error is not UTF-8", out.verdict);
  return out;
}
}  // namespace
}  // namespace sarnic::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace sarnic::fuzz;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const Documents docs = SARNIC_FUZZ_MSGPACK ? split_msgpack(input, builtin_metadata())
                                             : split_json(input, builtin_metadata());
  const Exact metadata(docs.metadata), rows(docs.body);
  const Outcome outcome = run(kFormat, metadata.view(), rows.view());

  if constexpr (!SARNIC_FUZZ_MSGPACK) {
    const std::string mp_metadata = json_as_msgpack(metadata.view()), mp_rows = json_as_msgpack(rows.view());
    if (!mp_metadata.empty() && !mp_rows.empty()) {
      const Exact m(mp_metadata), r(mp_rows);
      const Outcome again = run(sarnic::codec::Format::MessagePack, m.view(), r.view());
      // MessagePack may also name a variant by its position, so it may accept
      // metadata that JSON refuses, never the other way round.
      if (outcome.decoded)
        check(again == outcome, "JSON and MessagePack hydrate differently", outcome.rows + "\n" + again.rows);
    }
  }
  return 0;
}
