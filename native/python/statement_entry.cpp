// compile_statement and compile_statement_msgpack: a model list and a
// statement document. A version-3 document compiles exactly as compile_query
// compiles it against the first model; version 4 goes to the statement writer.
#include <array>
#include <string>

#include "codec/decode.hpp"
#include "codec/decode_statement.hpp"
#include "core/compile.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/entries.hpp"
#include "python/errors.hpp"
#include "sql/statement_emit.hpp"

namespace sarnic::python {
namespace {

constexpr std::array kJsonParams{Name::ModelsJson, Name::IrJson, Name::Dialect};
constexpr std::array kMsgpackParams{Name::ModelsMp, Name::IrMp, Name::Dialect};
constexpr Signature kCompileStatement{"compile_statement", kJsonParams};
constexpr Signature kCompileStatementMsgpack{"compile_statement_msgpack", kMsgpackParams};

PyObject* compile(codec::Format format, std::string_view models_input, std::string_view ir_input,
                  std::string_view dialect) {
  return guarded(Boundary::Compile, [&]() -> PyObject* {
    Arena arena;
    Tape tape;
    auto models = codec::decode_models(format, models_input, arena, tape);
    if (!models) return raise_malformed_ir(text::kMetadataFailed, models.error());
    if (models->empty()) return raise_compile_error(malformed_ir("the model list is empty"));
    auto doc = codec::decode_statement_document(format, ir_input, arena, tape);
    if (!doc) return raise_malformed_ir(text::kIrFailed, doc.error());
    Tape().swap(tape);
    if (!doc->version_4) {
      const std::uint32_t version = doc->query.version;
      if (version != SUPPORTED_IR_VERSION) return raise_compile_error(unsupported_version(version, STATEMENT_IR_VERSION));
      auto compiled = dispatch_compile(models->front(), doc->query, dialect);
      if (!compiled) return raise_compile_error(compiled.error());
      return compiled_to_dict(*compiled, format);
    }
    auto compiled = dispatch_statement(*models, doc->statement, dialect);
    if (!compiled) return raise_compile_error(compiled.error());
    return compiled_to_dict(*compiled, format);
  });
}

}  // namespace

PyObject* compile_statement(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<std::string_view, 3> a;
  if (!document_arguments(kCompileStatement, args, nargs, kwnames, codec::Format::Json, 2, a)) return nullptr;
  return compile(codec::Format::Json, a[0], a[1], a[2]);
}

PyObject* compile_statement_msgpack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<std::string_view, 3> a;
  if (!document_arguments(kCompileStatementMsgpack, args, nargs, kwnames, codec::Format::MessagePack, 2, a))
    return nullptr;
  return compile(codec::Format::MessagePack, a[0], a[1], a[2]);
}

}  // namespace sarnic::python
