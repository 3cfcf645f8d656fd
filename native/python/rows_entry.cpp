// build_instances(plan, rows): driver rows (tuples, asyncpg Records, any
// sequence) to model instances, checked as the hydrator checks rows. The plan
// is made once per statement shape by the layer:
//
//   plan = (cls, model_name, start, names, columns, required, converters, joins)
//   joins = ((attribute, plan), ...)
//
// Each part reads the row from `start`; a joined part whose first value (its
// key) is NULL is no row and leaves None. Joined parts are made before the
// base, and each part's required values are checked, in field order, before
// its converters run: the first error is the one the hydrator reports.
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "python/args.hpp"
#include "python/entries.hpp"
#include "python/errors.hpp"

namespace sarnic::python {
namespace {

constexpr std::array kParams{Name::Plan, Name::Rows};
constexpr Signature kBuildInstances{"build_instances", kParams};
constexpr unsigned kMaxJoinDepth = 8;
constexpr Py_ssize_t kMaxJoins = 64;

struct Part {
  PyObject* cls = nullptr;         // borrowed from the plan, which outlives the call
  allocfunc alloc = nullptr;
  PyObject* model_name = nullptr;  // str
  Py_ssize_t start = 0;
  Py_ssize_t count = 0;
  PyObject* names = nullptr;       // tuple of str
  PyObject* columns = nullptr;     // tuple of str
  PyObject* required = nullptr;    // tuple of bool
  PyObject* converters = nullptr;  // tuple of callables or None
  std::vector<std::pair<PyObject*, Part>> joins;
  //! Every attribute of an instance, values None: copied per row, so each
  //! instance dict starts at its final size and setting a value never grows it.
  PyRef layout;
};

[[gnu::cold]] bool bad_plan(const char* what) {
  PyErr_Format(PyExc_TypeError, "build_instances: bad plan: %s", what);
  return false;
}

bool tuple_of(PyObject* obj, Py_ssize_t n, bool (*check)(PyObject*)) {
  if (!PyTuple_Check(obj) || PyTuple_Size(obj) != n) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!check(PyTuple_GetItem(obj, i))) return false;
  }
  return true;
}

bool is_str(PyObject* o) { return PyUnicode_Check(o); }
bool is_bool(PyObject* o) { return PyBool_Check(o); }
bool is_converter(PyObject* o) { return o == Py_None || PyCallable_Check(o); }

bool read_plan(PyObject* plan, Part& part, unsigned depth) {
  if (depth > kMaxJoinDepth) return bad_plan("joins nested too deep");
  if (!PyTuple_Check(plan) || PyTuple_Size(plan) != 8) return bad_plan("not a tuple of 8");
  part.cls = PyTuple_GetItem(plan, 0);
  if (!PyType_Check(part.cls)) return bad_plan("the class is not a type");
  part.alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(part.cls), Py_tp_alloc));
  if (part.alloc == nullptr) return bad_plan("the class cannot allocate instances");
  part.model_name = PyTuple_GetItem(plan, 1);
  if (!PyUnicode_Check(part.model_name)) return bad_plan("the model name is not a str");
  part.start = PyLong_AsSsize_t(PyTuple_GetItem(plan, 2));
  if (part.start < 0) {
    if (PyErr_Occurred()) PyErr_Clear();
    return bad_plan("the start is not a position");
  }
  part.names = PyTuple_GetItem(plan, 3);
  if (!PyTuple_Check(part.names)) return bad_plan("the names are not a tuple");
  part.count = PyTuple_Size(part.names);
  part.columns = PyTuple_GetItem(plan, 4);
  part.required = PyTuple_GetItem(plan, 5);
  part.converters = PyTuple_GetItem(plan, 6);
  if (!tuple_of(part.names, part.count, is_str) || !tuple_of(part.columns, part.count, is_str) ||
      !tuple_of(part.required, part.count, is_bool) || !tuple_of(part.converters, part.count, is_converter)) {
    return bad_plan("names, columns, required and converters must be tuples of one length");
  }
  if (part.count == 0) return bad_plan("a part without fields");
  part.layout = PyRef(PyDict_New());
  if (!part.layout) return false;
  for (Py_ssize_t i = 0; i < part.count; ++i) {
    if (PyDict_SetItem(part.layout.get(), PyTuple_GetItem(part.names, i), Py_None) != 0) return false;
  }
  PyObject* joins = PyTuple_GetItem(plan, 7);
  if (!PyTuple_Check(joins) || PyTuple_Size(joins) > kMaxJoins) return bad_plan("the joins are not a tuple");
  for (Py_ssize_t j = 0; j < PyTuple_Size(joins); ++j) {
    PyObject* entry = PyTuple_GetItem(joins, j);
    if (!PyTuple_Check(entry) || PyTuple_Size(entry) != 2 || !PyUnicode_Check(PyTuple_GetItem(entry, 0))) {
      return bad_plan("a join is not (attribute, plan)");
    }
    Part sub;
    if (!read_plan(PyTuple_GetItem(entry, 1), sub, depth + 1)) return false;
    if (PyDict_SetItem(part.layout.get(), PyTuple_GetItem(entry, 0), Py_None) != 0) return false;
    part.joins.emplace_back(PyTuple_GetItem(entry, 0), std::move(sub));
  }
  return true;
}

//! The row's value at i: a new reference, or null with IndexError set.
PyObject* item(PyObject* row, bool is_tuple, Py_ssize_t i) {
  if (is_tuple) {
    PyObject* v = PyTuple_GetItem(row, i);
    Py_XINCREF(v);
    return v;
  }
  return PySequence_GetItem(row, i);
}

PyObject* dict_name() {
  static PyObject* name = PyUnicode_InternFromString("__dict__");  // lives as long as the process
  return name;
}

[[gnu::cold]] PyObject* null_error(const Part& part, Py_ssize_t i) {
  PyObject* cls = exception_class(ExceptionKind::Hydration);
  if (cls == nullptr) return nullptr;
  PyErr_Format(cls, "non-nullable column '%U' on model '%U' contains NULL", PyTuple_GetItem(part.columns, i),
               part.model_name);
  return nullptr;
}

// A new instance of the part, None for a joined part without a row, or null
// with the error set.
PyObject* build(const Part& part, PyObject* row, bool is_tuple, bool joined) {
  // Values first, all required ones checked before any converter runs.
  std::array<PyRef, 32> small;
  std::vector<PyRef> large;
  PyRef* values = small.data();
  if (part.count > static_cast<Py_ssize_t>(small.size())) {
    large.resize(static_cast<std::size_t>(part.count));
    values = large.data();
  }
  for (Py_ssize_t i = 0; i < part.count; ++i) {
    values[i] = PyRef(item(row, is_tuple, part.start + i));
    if (!values[i]) return nullptr;
    if (i == 0 && joined && values[0].get() == Py_None) Py_RETURN_NONE;
  }
  std::vector<PyRef> joined_rows;
  joined_rows.reserve(part.joins.size());
  for (const auto& [attribute, sub] : part.joins) {
    joined_rows.emplace_back(build(sub, row, is_tuple, true));
    if (!joined_rows.back()) return nullptr;
  }
  for (Py_ssize_t i = 0; i < part.count; ++i) {
    if (values[i].get() == Py_None && PyTuple_GetItem(part.required, i) == Py_True) return null_error(part, i);
  }
  PyRef obj(part.alloc(reinterpret_cast<PyTypeObject*>(part.cls), 0));
  if (!obj) return nullptr;
  PyRef dict(PyDict_Copy(part.layout.get()));
  if (!dict) return nullptr;
  for (Py_ssize_t i = 0; i < part.count; ++i) {
    PyObject* conv = PyTuple_GetItem(part.converters, i);
    PyRef value = std::move(values[i]);
    if (conv != Py_None && value.get() != Py_None) {
      value = PyRef(PyObject_CallFunctionObjArgs(conv, value.get(), nullptr));
      if (!value) return nullptr;
    }
    if (PyDict_SetItem(dict.get(), PyTuple_GetItem(part.names, i), value.get()) != 0) return nullptr;
  }
  for (std::size_t j = 0; j < part.joins.size(); ++j) {
    if (PyDict_SetItem(dict.get(), part.joins[j].first, joined_rows[j].get()) != 0) return nullptr;
  }
  // Through the type's own __dict__ setter, as `obj.__dict__ = d` does:
  // from 3.12 a class keeps its instances' attributes inline, and only that
  // setter retires the inline values in favour of the new dict.
  PyObject* key = dict_name();
  if (key == nullptr || PyObject_SetAttr(obj.get(), key, dict.get()) != 0) return nullptr;
  return obj.release();
}

}  // namespace

PyObject* build_instances(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 2> a{};
  if (!bind_arguments(kBuildInstances, args, nargs, kwnames, a)) return nullptr;
  return guarded(Boundary::Hydrate, [&]() -> PyObject* {
    Part part;
    if (!read_plan(a[0], part, 0)) return nullptr;
    PyObject* rows = a[1];
    if (!PyList_Check(rows)) {
      PyErr_SetString(PyExc_TypeError, "build_instances: rows must be a list");
      return nullptr;
    }
    const Py_ssize_t n = PyList_Size(rows);
    PyRef out(PyList_New(n));
    if (!out) return nullptr;
    // The batch only adds objects, each referenced from the new list: no cycle
    // can form that a collection during it would find. Skipping the collector
    // for the batch saves about a fifth of its time on large results.
    struct CollectorPause {
      int was_enabled = PyGC_Disable();
      ~CollectorPause() {
        if (was_enabled) PyGC_Enable();
      }
    } pause;
    for (Py_ssize_t r = 0; r < n; ++r) {
      PyObject* row = PyList_GetItem(rows, r);  // borrowed; the list is ours to read
      PyRef keep = PyRef::borrow(row);          // a converter could drop the list's reference
      PyObject* obj = build(part, row, PyTuple_Check(row), false);
      if (obj == nullptr) return nullptr;
      PyList_SetItem(out.get(), r, obj);
    }
    return out.release();
  });
}

}  // namespace sarnic::python
