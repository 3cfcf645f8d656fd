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

[[gnu::cold]] PyObject* decode_failure(std::string_view prefix, const std::string& detail) {
  std::string message;
  message.reserve(prefix.size() + detail.size());
  message.append(prefix).append(detail);
  return raise_compile_error(malformed_ir(std::move(message)));
}

PyObject* compile(codec::Format format, std::string_view models_input, std::string_view ir_input,
                  std::string_view dialect) {
  return guarded(Boundary::Compile, [&]() -> PyObject* {
    Arena arena;
    Tape tape;
    auto models = codec::decode_models(format, models_input, arena, tape);
    if (!models) return decode_failure(text::kMetadataFailed, models.error());
    if (models->empty()) return raise_compile_error(malformed_ir("the model list is empty"));
    auto doc = codec::decode_statement_document(format, ir_input, arena, tape);
    if (!doc) return decode_failure(text::kIrFailed, doc.error());
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
  std::array<PyObject*, 3> a{};
  if (!bind_arguments(kCompileStatement, args, nargs, kwnames, a)) return nullptr;
  auto models = text_argument(kCompileStatement, 0, a[0]);
  if (!models) return nullptr;
  auto ir = text_argument(kCompileStatement, 1, a[1]);
  if (!ir) return nullptr;
  auto dialect = text_argument(kCompileStatement, 2, a[2]);
  if (!dialect) return nullptr;
  return compile(codec::Format::Json, *models, *ir, *dialect);
}

PyObject* compile_statement_msgpack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 3> a{};
  if (!bind_arguments(kCompileStatementMsgpack, args, nargs, kwnames, a)) return nullptr;
  auto models = bytes_argument(kCompileStatementMsgpack, 0, a[0]);
  if (!models) return nullptr;
  auto ir = bytes_argument(kCompileStatementMsgpack, 1, a[1]);
  if (!ir) return nullptr;
  auto dialect = text_argument(kCompileStatementMsgpack, 2, a[2]);
  if (!dialect) return nullptr;
  return compile(codec::Format::MessagePack, *models, *ir, *dialect);
}

}  // namespace sarnic::python
