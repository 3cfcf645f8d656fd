#include <array>

#include "codec/decode.hpp"
#include "core/hydrate.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/entries.hpp"
#include "python/errors.hpp"

namespace sarnic::python {
namespace {

constexpr std::array kJsonParams{Name::MetadataJson, Name::RowsJson};
constexpr std::array kMsgpackParams{Name::MetadataMp, Name::RowsMp};
constexpr Signature kHydrateRows{"hydrate_rows", kJsonParams};
constexpr Signature kHydrateRowsMsgpack{"hydrate_rows_msgpack", kMsgpackParams};

PyObject* hydrate(codec::Format format, std::string_view metadata_input, std::string_view rows_input) {
  return guarded(Boundary::Hydrate, [&]() -> PyObject* {
    Arena arena;
    Tape metadata_tape;
    auto metadata = codec::decode_metadata(format, metadata_input, arena, metadata_tape);
    if (!metadata) return raise_hydration_text(text::kMetadataError, metadata.error());
    // The rows stay on their tape until they are converted.
    Tape rows_tape;
    auto batch = codec::decode_rows(format, rows_input, arena, rows_tape);
    if (!batch) return raise_hydration_text(text::kRowsError, batch.error());
    // The whole batch is checked before the first Python object is made.
    if (auto checked = sarnic::hydrate_rows(*metadata, *batch); !checked) return raise_hydrate_error(checked.error());
    return rows_to_list(*batch);
  });
}

}  // namespace

PyObject* hydrate_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 2> a{};
  if (!bind_arguments(kHydrateRows, args, nargs, kwnames, a)) return nullptr;
  auto metadata = text_argument(kHydrateRows, 0, a[0]);
  if (!metadata) return nullptr;
  auto rows = text_argument(kHydrateRows, 1, a[1]);
  if (!rows) return nullptr;
  return hydrate(codec::Format::Json, *metadata, *rows);
}

PyObject* hydrate_rows_msgpack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 2> a{};
  if (!bind_arguments(kHydrateRowsMsgpack, args, nargs, kwnames, a)) return nullptr;
  auto metadata = bytes_argument(kHydrateRowsMsgpack, 0, a[0]);
  if (!metadata) return nullptr;
  auto rows = bytes_argument(kHydrateRowsMsgpack, 1, a[1]);
  if (!rows) return nullptr;
  return hydrate(codec::Format::MessagePack, *metadata, *rows);
}

}  // namespace sarnic::python
