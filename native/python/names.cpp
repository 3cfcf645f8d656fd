#include "python/names.hpp"

#include <array>

namespace sarnic::python {
namespace {

// Never released: they live as long as the process, like the exception classes.
std::array<PyObject*, kNameCount> g_names{};

}  // namespace

const char* name_text(Name name) {
  switch (name) {
    case Name::MetadataJson: return "metadata_json";
    case Name::IrJson: return "ir_json";
    case Name::Dialect: return "dialect";
    case Name::MetadataMp: return "metadata_mp";
    case Name::IrMp: return "ir_mp";
    case Name::RowsJson: return "rows_json";
    case Name::RowsMp: return "rows_mp";
    case Name::SqlText: return "sql_text";
    case Name::BoundParams: return "bound_params";
    case Name::ParamTypeSummary: return "param_type_summary";
    case Name::Fingerprint: return "fingerprint";
    case Name::Operation: return "operation";
    case Name::ModelsJson: return "models_json";
    case Name::ModelsMp: return "models_mp";
    case Name::Plan: return "plan";
    case Name::Rows: return "rows";
  }
  return "";
}

bool intern_names() {
  for (std::size_t i = 0; i < kNameCount; ++i) {
    if (g_names[i] != nullptr) continue;
    PyObject* s = PyUnicode_InternFromString(name_text(static_cast<Name>(i)));
    if (s == nullptr) return false;
    // Creating may run a collection and let another thread fill the slot first.
    if (g_names[i] != nullptr) {
      Py_DECREF(s);
      continue;
    }
    g_names[i] = s;
  }
  return true;
}

PyObject* name_object(Name name) { return g_names[static_cast<std::size_t>(name)]; }

}  // namespace sarnic::python
