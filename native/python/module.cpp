// Module initialisation: the exec step adds the five functions and the three
// exception classes, in order, each also appended to __all__.
#include <array>

#include "python/args.hpp"
#include "python/entries.hpp"
#include "python/errors.hpp"
#include "python/names.hpp"

namespace sarnic::python {

PyObject* plan_migration(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature kPlanMigration{"plan_migration", {}};
  if (!bind_arguments(kPlanMigration, args, nargs, kwnames, {})) return nullptr;
  PyErr_SetString(PyExc_NotImplementedError, text::kMigration);
  return nullptr;
}

namespace {

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyCFunction as_cfunction(FastCall f) {
  // The interpreter calls METH_FASTCALL | METH_KEYWORDS functions by this
  // signature; PyMethodDef stores every kind under the one pointer type.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

// The interpreter keeps pointers to these for the life of the function objects.
PyMethodDef g_functions[] = {
    {"compile_query", as_cfunction(compile_query), kFastCall,
     "compile_query(metadata_json, ir_json, dialect)\n--\n\n"
     "Compile a query IR given as JSON against model metadata given as JSON.\n\n"
     "Returns a dict with the keys sql_text, bound_params (one compact JSON text\n"
     "per bound value, in placeholder order), param_type_summary, fingerprint and\n"
     "operation. The caller uses operation to choose between fetching rows and\n"
     "merely executing the statement.\n\n"
     "Raises SarnicCompileError when the IR is invalid (unknown field, unsupported\n"
     "operator, version mismatch, a mutation without a filter, malformed JSON) and\n"
     "SarnicInternalError on an internal fault."},
    {"compile_query_msgpack", as_cfunction(compile_query_msgpack), kFastCall,
     "compile_query_msgpack(metadata_mp, ir_mp, dialect)\n--\n\n"
     "Compile a query IR given as MessagePack bytes against model metadata given\n"
     "as MessagePack bytes.\n\n"
     "Returns the same dict as compile_query, except that bound_params is one\n"
     "MessagePack blob: an array whose elements are maps keyed by field name, so\n"
     "each tagged bind value decodes to a dict. The other values are plain Python\n"
     "objects.\n\n"
     "Raises SarnicCompileError and SarnicInternalError as compile_query does, and\n"
     "SarnicInternalError when bound_params cannot be encoded."},
    {"compile_statement", as_cfunction(compile_statement), kFastCall,
     "compile_statement(models_json, ir_json, dialect)\n--\n\n"
     "Compile a statement given as JSON against a JSON array of model metadata\n"
     "documents, which the statement names by position.\n\n"
     "A version-3 document compiles exactly as compile_query compiles it against\n"
     "the first model; version 4 adds expressions, subqueries, grouping, upserts\n"
     "and row locks. Returns the same dict as compile_query and raises as it does."},
    {"compile_statement_msgpack", as_cfunction(compile_statement_msgpack), kFastCall,
     "compile_statement_msgpack(models_mp, ir_mp, dialect)\n--\n\n"
     "compile_statement for MessagePack inputs (an array of metadata maps and\n"
     "the statement). Returns the same dict as compile_query_msgpack."},
    {"hydrate_rows", as_cfunction(hydrate_rows), kFastCall,
     "hydrate_rows(metadata_json, rows_json)\n--\n\n"
     "Check a batch of database rows (a JSON array of objects keyed by column\n"
     "name) against the model and return them as a list of dicts.\n\n"
     "Only the presence and non-nullness of the required columns are checked;\n"
     "type coercion is left to the Python side.\n\n"
     "Raises SarnicHydrationError when either input fails to decode or a required\n"
     "column is missing or null, and SarnicInternalError on an internal fault."},
    {"hydrate_rows_msgpack", as_cfunction(hydrate_rows_msgpack), kFastCall,
     "hydrate_rows_msgpack(metadata_mp, rows_mp)\n--\n\n"
     "Check a batch of rows given as MessagePack bytes (an array of maps keyed by\n"
     "column name) against the model and return them as a list of dicts.\n\n"
     "Errors as for hydrate_rows."},
    {"build_instances", as_cfunction(build_instances), kFastCall,
     "build_instances(plan, rows)\n--\n\n"
     "Make model instances from a list of driver rows (tuples or other sequences)\n"
     "following a plan the layer makes once per statement shape: (cls, model_name,\n"
     "start, names, columns, required, converters, joins). Rows are checked as\n"
     "hydrate_rows checks them (SarnicHydrationError with its text) before any\n"
     "converter runs; a joined part whose key is NULL is None."},
    {"plan_migration", as_cfunction(plan_migration), kFastCall,
     "plan_migration()\n--\n\n"
     "Placeholder for migration planning: always raises NotImplementedError."},
};

// Appends `name` to the module's __all__, creating the list on first use.
int append_to_all(PyObject* module, PyObject* name) {
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return -1;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ is not a list");
    raise_setup_fault(text::kAllAppendFailed);
    return -1;
  }
  if (PyList_Append(all.get(), name) != 0) {
    raise_setup_fault(text::kAllAppendFailed);
    return -1;
  }
  return 0;
}

int add(PyObject* module, PyObject* name, PyObject* value) {
  if (append_to_all(module, name) != 0) return -1;
  return PyObject_SetAttr(module, name, value);
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "the exec step expects a module object");
    return -1;
  }
  if (!intern_names()) return -1;
  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;

  for (PyMethodDef& def : g_functions) {
    PyRef function(PyCMethod_New(&def, module, module_name.get(), nullptr));
    if (!function) return -1;
    PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name || add(module, name.get(), function.get()) != 0) return -1;
  }
  for (ExceptionKind kind : {ExceptionKind::Internal, ExceptionKind::Compile, ExceptionKind::Hydration}) {
    PyObject* cls = exception_class(kind);
    if (cls == nullptr) return -1;
    PyRef name(PyUnicode_FromString(exception_attribute(kind)));
    if (!name || add(module, name.get(), cls) != 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "The Python extension module `sarnic._native`.\n\n"
    "The initialisation function is named PyInit__native because the interpreter\n"
    "derives it from the last component of the import name: the package `sarnic`\n"
    "imports this file as `sarnic._native`, so the module definition is named\n"
    "\"_native\" and the pure-Python package wraps it.",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace sarnic::python

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&sarnic::python::g_module); }
