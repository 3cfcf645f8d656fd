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
  std::array<std::string_view, 2> a;
  if (!document_arguments(kHydrateRows, args, nargs, kwnames, codec::Format::Json, 2, a)) return nullptr;
  return hydrate(codec::Format::Json, a[0], a[1]);
}

PyObject* hydrate_rows_msgpack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<std::string_view, 2> a;
  if (!document_arguments(kHydrateRowsMsgpack, args, nargs, kwnames, codec::Format::MessagePack, 2, a)) return nullptr;
  return hydrate(codec::Format::MessagePack, a[0], a[1]);
}

}  // namespace sarnic::python
