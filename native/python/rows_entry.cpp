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

struct Field {
  PyObject* name = nullptr;       // str; borrowed from the plan, which outlives the call
  PyObject* column = nullptr;     // str
  PyObject* converter = nullptr;  // null where the driver's value is the field's
  bool required = false;
};

struct Part {
  PyObject* cls = nullptr;  // borrowed, as every plan object below
  PyObject* model_name = nullptr;
  Py_ssize_t start = 0;
  // Unpacked once per call: reading the plan's tuples through the API for
  // every value of every row cost a fifth of the build.
  std::vector<Field> fields;
  std::vector<std::pair<PyObject*, Part>> joins;
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
  part.model_name = PyTuple_GetItem(plan, 1);
  if (!PyUnicode_Check(part.model_name)) return bad_plan("the model name is not a str");
  part.start = PyLong_AsSsize_t(PyTuple_GetItem(plan, 2));
  if (part.start < 0) {
    if (PyErr_Occurred()) PyErr_Clear();
    return bad_plan("the start is not a position");
  }
  PyObject* names = PyTuple_GetItem(plan, 3);
  if (!PyTuple_Check(names)) return bad_plan("the names are not a tuple");
  const Py_ssize_t count = PyTuple_Size(names);
  PyObject* columns = PyTuple_GetItem(plan, 4);
  PyObject* required = PyTuple_GetItem(plan, 5);
  PyObject* converters = PyTuple_GetItem(plan, 6);
  if (!tuple_of(names, count, is_str) || !tuple_of(columns, count, is_str) || !tuple_of(required, count, is_bool) ||
      !tuple_of(converters, count, is_converter)) {
    return bad_plan("names, columns, required and converters must be tuples of one length");
  }
  if (count == 0) return bad_plan("a part without fields");
  part.fields.resize(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    Field& f = part.fields[static_cast<std::size_t>(i)];
    f.name = PyTuple_GetItem(names, i);
    f.column = PyTuple_GetItem(columns, i);
    PyObject* conv = PyTuple_GetItem(converters, i);
    f.converter = conv == Py_None ? nullptr : conv;
    f.required = PyTuple_GetItem(required, i) == Py_True;
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
    part.joins.emplace_back(PyTuple_GetItem(entry, 0), std::move(sub));
  }
  return true;
}

//! Reads values out of rows. Tuples go through the tuple API; any other
//! sequence through its type's item slot, looked up once per run of rows of
//! one type: PySequence_GetItem would look it up again for every value.
class RowItems {
 public:
  //! The row's value at i (i >= 0): a new reference, or null with the error set.
  PyObject* get(PyObject* row, Py_ssize_t i) {
    if (PyTuple_Check(row)) {
      PyObject* v = PyTuple_GetItem(row, i);
      Py_XINCREF(v);
      return v;
    }
    PyTypeObject* type = Py_TYPE(row);
    if (type != type_) {
      type_ = type;
      item_ = reinterpret_cast<ssizeargfunc>(PyType_GetSlot(type, Py_sq_item));
    }
    // Without the slot, PySequence_GetItem raises the TypeError a non-sequence gets.
    return item_ != nullptr ? item_(row, i) : PySequence_GetItem(row, i);
  }

 private:
  PyTypeObject* type_ = nullptr;
  ssizeargfunc item_ = nullptr;
};

//! What every instance of a call is made with.
struct Maker {
  RowItems items;
  newfunc object_new = nullptr;  // object.__new__
  PyRef no_args;
};

[[gnu::cold]] PyObject* null_error(const Part& part, const Field& field) {
  PyObject* cls = exception_class(ExceptionKind::Hydration);
  if (cls == nullptr) return nullptr;
  PyErr_Format(cls, "non-nullable column '%U' on model '%U' contains NULL", field.column, part.model_name);
  return nullptr;
}

// A new instance of the part, None for a joined part without a row, or null
// with the error set.
//
// The instance is made as object.__new__(cls) makes it and its attributes are
// set as `obj.name = value` sets them, without the class's own __setattr__:
// where the class shares one key table among its instances (3.11 on) the
// values go into the instance's inline slots and no dict is made until
// something asks for __dict__. Against filling a copied dict and swapping it
// in (which 3.12 on needs through the __dict__ setter), that is a quarter
// fewer instructions to make and free an instance, a fifth fewer to read its
// fields, and 136 bytes less of it; and it is the layout the interpreter
// gives any instance, so nothing an instance promises changes.
PyObject* build(const Part& part, PyObject* row, Maker& maker, bool joined) {
  const std::size_t count = part.fields.size();
  // Values first, all required ones checked before any converter runs.
  std::array<PyRef, 32> small;
  std::vector<PyRef> large;
  PyRef* values = small.data();
  if (count > small.size()) {
    large.resize(count);
    values = large.data();
  }
  for (std::size_t i = 0; i < count; ++i) {
    values[i] = PyRef(maker.items.get(row, part.start + static_cast<Py_ssize_t>(i)));
    if (!values[i]) return nullptr;
    if (i == 0 && joined && values[0].get() == Py_None) Py_RETURN_NONE;
  }
  std::vector<PyRef> joined_rows;
  if (!part.joins.empty()) {
    joined_rows.reserve(part.joins.size());
    for (const auto& [attribute, sub] : part.joins) {
      joined_rows.emplace_back(build(sub, row, maker, true));
      if (!joined_rows.back()) return nullptr;
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (values[i].get() == Py_None && part.fields[i].required) return null_error(part, part.fields[i]);
  }
  PyRef obj(maker.object_new(reinterpret_cast<PyTypeObject*>(part.cls), maker.no_args.get(), nullptr));
  if (!obj) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    const Field& f = part.fields[i];
    if (f.converter != nullptr && values[i].get() != Py_None) {
      values[i] = PyRef(PyObject_CallFunctionObjArgs(f.converter, values[i].get(), nullptr));
      if (!values[i]) return nullptr;
    }
    if (PyObject_GenericSetAttr(obj.get(), f.name, values[i].get()) != 0) return nullptr;
  }
  for (std::size_t j = 0; j < part.joins.size(); ++j) {
    if (PyObject_GenericSetAttr(obj.get(), part.joins[j].first, joined_rows[j].get()) != 0) return nullptr;
  }
  return obj.release();
}

}  // namespace

PyObject* build_instances(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 2> a{};
  if (!bind_arguments(kBuildInstances, args, nargs, kwnames, a)) return nullptr;
  return guarded(Boundary::Hydrate, [&]() -> PyObject* {
    Part part;
    if (!read_plan(a[0], part, 0)) return nullptr;
    Maker maker;
    maker.object_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
    maker.no_args = PyRef(PyTuple_New(0));
    if (maker.object_new == nullptr || !maker.no_args) return nullptr;
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
      PyObject* obj = build(part, row, maker, false);
      if (obj == nullptr) return nullptr;
      PyList_SetItem(out.get(), r, obj);
    }
    return out.release();
  });
}

}  // namespace sarnic::python
