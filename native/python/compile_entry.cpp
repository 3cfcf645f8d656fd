#include <array>
#include <string>

#include "codec/decode.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/entries.hpp"
#include "python/errors.hpp"
#include "sql/emit.hpp"

namespace sarnic::python {
namespace {

constexpr std::array kJsonParams{Name::MetadataJson, Name::IrJson, Name::Dialect};
constexpr std::array kMsgpackParams{Name::MetadataMp, Name::IrMp, Name::Dialect};
constexpr Signature kCompileQuery{"compile_query", kJsonParams};
constexpr Signature kCompileQueryMsgpack{"compile_query_msgpack", kMsgpackParams};

PyObject* compile(codec::Format format, std::string_view metadata_input, std::string_view ir_input,
                  std::string_view dialect) {
  return guarded(Boundary::Compile, [&]() -> PyObject* {
    // The records view the arena and the caller's bytes, both alive until the
    // result has been copied into Python objects.
    Arena arena;
    Tape tape;
    auto metadata = codec::decode_metadata(format, metadata_input, arena, tape);
    if (!metadata) return raise_malformed_ir(text::kMetadataFailed, metadata.error());
    auto ir = codec::decode_ir(format, ir_input, arena, tape);
    if (!ir) return raise_malformed_ir(text::kIrFailed, ir.error());
    // The records never view the tape: for a large document it is the biggest
    // buffer of the call, and it goes back before the statement is built.
    Tape().swap(tape);
    auto compiled = dispatch_compile(*metadata, *ir, dialect);
    if (!compiled) return raise_compile_error(compiled.error());
    return compiled_to_dict(*compiled, format);
  });
}

}  // namespace

PyObject* compile_query(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<std::string_view, 3> a;
  if (!document_arguments(kCompileQuery, args, nargs, kwnames, codec::Format::Json, 2, a)) return nullptr;
  return compile(codec::Format::Json, a[0], a[1], a[2]);
}

PyObject* compile_query_msgpack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<std::string_view, 3> a;
  if (!document_arguments(kCompileQueryMsgpack, args, nargs, kwnames, codec::Format::MessagePack, 2, a)) return nullptr;
  return compile(codec::Format::MessagePack, a[0], a[1], a[2]);
}

}  // namespace sarnic::python
