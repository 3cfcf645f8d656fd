// build_instances(plan, rows): driver rows (tuples, asyncpg Records, any
// sequence) to model instances, checked as the hydrator checks rows. The plan
// is made once per statement shape by the layer:
//
//   plan = (cls, model_name, start, names, columns, required, converters, joins)
//   joins = ((attribute, plan), ...)
//
// A converter is None, a callable, or one of the forms run here without a
// call into Python: (1,) a truth value as bool; (2, f) f(v) only where
// v.tzinfo is None; (3, a, b) a + (v - b), the shift of a datetime to
// another zone at the same wall time; (4, parse, suffix, f) parse(v + suffix)
// for a str v, a C parser such as datetime.fromisoformat, and f(v) for any
// other value or where parse raises ValueError or TypeError: f must give what
// parse gives wherever parse succeeds, so that the result is f's; (5, table, f)
// table[v] where the dict holds v, and f(v) for any other value (a stored
// text to its enum member, say): f must give table[v] wherever it is held;
// (6, cls, safe, f) a UUID of class cls from its 32 hex digits, bare or in
// the 8-4-4-4-12 form, made as uuid.UUID.__init__ leaves one (its `int` and
// `is_safe` slots set to the number and to safe), and f(v) for any other value.
//
// Each part reads the row from `start`; a joined part whose first value (its
// key) is NULL is no row and leaves None. Joined parts are made before the
// base, and each part's required values are checked, in field order, before
// its converters run: the first error is the one the hydrator reports.
#include <cstdint>
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

enum class Conversion : std::uint8_t { None, Call, Truth, Naive, Shift, Parse, Lookup, Uuid };

struct Field {
  PyObject* name = nullptr;       // str; borrowed from the plan, which outlives the call
  PyObject* column = nullptr;     // str
  Conversion conversion = Conversion::None;
  PyObject* converter = nullptr;  // Call, Naive, Parse and Lookup (their fallback): the callable
  PyObject* table = nullptr;      // Lookup: a dict
  PyObject* uuid_class = nullptr; // Uuid: the class, and what its is_safe slot holds
  PyObject* uuid_safe = nullptr;
  PyObject* parse = nullptr;      // Parse: the parser, and the text appended (null: none)
  PyObject* suffix = nullptr;
  PyObject* shift_to = nullptr;   // Shift: a + (v - b)
  PyObject* shift_from = nullptr;
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

// The __new__ slot of a class that writes its own __new__ in Python, read off
// a class made to show it; null where none could be made.
newfunc python_new_slot() {
  PyObject* builtins = PyEval_GetBuiltins();  // borrowed
  PyObject* any_callable = builtins != nullptr ? PyDict_GetItemString(builtins, "len") : nullptr;
  if (any_callable == nullptr) return nullptr;
  PyRef body(PyDict_New());
  if (!body || PyDict_SetItemString(body.get(), "__new__", any_callable) != 0) {
    PyErr_Clear();
    return nullptr;
  }
  PyRef probe(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", "probe", body.get()));
  if (!probe) {
    PyErr_Clear();
    return nullptr;
  }
  return reinterpret_cast<newfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(probe.get()), Py_tp_new));
}

// Whether object.__new__(cls) is safe, decided as the interpreter decides it:
// the nearest base whose __new__ is not written in Python must take
// object's. Made another way (a dict subclass, say), an instance would be
// left with its own parts unset.
bool made_by_object_new(PyObject* cls) {
  static const newfunc python_new = python_new_slot();
  static const newfunc object_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  for (unsigned depth = 0; type != nullptr && depth < 1024; ++depth) {
    const auto made = reinterpret_cast<newfunc>(PyType_GetSlot(type, Py_tp_new));
    if (python_new == nullptr || made != python_new) return made == object_new;
    type = reinterpret_cast<PyTypeObject*>(PyType_GetSlot(type, Py_tp_base));
  }
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
bool is_converter(PyObject* o) { return o == Py_None || PyTuple_Check(o) || PyCallable_Check(o); }

bool read_converter(PyObject* conv, Field& f) {
  if (conv == Py_None) return true;
  if (!PyTuple_Check(conv)) {
    f.conversion = Conversion::Call;
    f.converter = conv;
    return true;
  }
  const Py_ssize_t n = PyTuple_Size(conv);
  const long code = n > 0 && PyLong_Check(PyTuple_GetItem(conv, 0)) ? PyLong_AsLong(PyTuple_GetItem(conv, 0)) : 0;
  if (code == 1 && n == 1) {
    f.conversion = Conversion::Truth;
  } else if (code == 2 && n == 2 && PyCallable_Check(PyTuple_GetItem(conv, 1))) {
    f.conversion = Conversion::Naive;
    f.converter = PyTuple_GetItem(conv, 1);
  } else if (code == 3 && n == 3) {
    f.conversion = Conversion::Shift;
    f.shift_to = PyTuple_GetItem(conv, 1);
    f.shift_from = PyTuple_GetItem(conv, 2);
  } else if (code == 4 && n == 4 && PyCallable_Check(PyTuple_GetItem(conv, 1)) &&
             PyUnicode_Check(PyTuple_GetItem(conv, 2)) && PyCallable_Check(PyTuple_GetItem(conv, 3))) {
    f.conversion = Conversion::Parse;
    f.parse = PyTuple_GetItem(conv, 1);
    PyObject* suffix = PyTuple_GetItem(conv, 2);
    f.suffix = PyUnicode_GetLength(suffix) > 0 ? suffix : nullptr;
    f.converter = PyTuple_GetItem(conv, 3);
  } else if (code == 5 && n == 3 && PyDict_CheckExact(PyTuple_GetItem(conv, 1)) &&
             PyCallable_Check(PyTuple_GetItem(conv, 2))) {
    f.conversion = Conversion::Lookup;
    f.table = PyTuple_GetItem(conv, 1);
    f.converter = PyTuple_GetItem(conv, 2);
  } else if (code == 6 && n == 4 && PyType_Check(PyTuple_GetItem(conv, 1)) &&
             made_by_object_new(PyTuple_GetItem(conv, 1)) && PyCallable_Check(PyTuple_GetItem(conv, 3))) {
    f.conversion = Conversion::Uuid;
    f.uuid_class = PyTuple_GetItem(conv, 1);
    f.uuid_safe = PyTuple_GetItem(conv, 2);
    f.converter = PyTuple_GetItem(conv, 3);
  } else {
    if (PyErr_Occurred()) PyErr_Clear();
    return bad_plan(
        "a converter form is not (1,), (2, callable), (3, a, b), (4, callable, str, callable), "
        "(5, dict, callable) or (6, type, safe, callable)");
  }
  return true;
}

bool read_plan(PyObject* plan, Part& part, unsigned depth) {
  if (depth > kMaxJoinDepth) return bad_plan("joins nested too deep");
  if (!PyTuple_Check(plan) || PyTuple_Size(plan) != 8) return bad_plan("not a tuple of 8");
  part.cls = PyTuple_GetItem(plan, 0);
  if (!PyType_Check(part.cls)) return bad_plan("the class is not a type");
  if (!made_by_object_new(part.cls)) return bad_plan("the class is not one object.__new__ makes");
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
    if (!read_converter(PyTuple_GetItem(converters, i), f)) return false;
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
  PyRef tzinfo;  // "tzinfo", interned
  PyRef uuid_int;  // "int" and "is_safe", the slots of a UUID
  PyRef uuid_is_safe;
};

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The 32 hex digits of a UUID's text, bare or in its 8-4-4-4-12 form, into
// `digits` (33 bytes, NUL-terminated); false for any other text.
bool uuid_digits(PyObject* text, char* digits) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();  // a lone surrogate: the fallback says what it makes of it
    return false;
  }
  if (size != 32 && size != 36) return false;
  Py_ssize_t out = 0;
  for (Py_ssize_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (size == 36 && (i == 8 || i == 13 || i == 18 || i == 23)) {
      if (c != '-') return false;
      continue;
    }
    if (!is_hex(c)) return false;
    digits[out++] = c;
  }
  digits[out] = '\0';
  return out == 32;
}

// A UUID made as uuid.UUID(text) makes it, or null with the error set.
PyObject* make_uuid(const Field& f, const char* digits, const Maker& maker) {
  PyRef number(PyLong_FromString(digits, nullptr, 16));
  if (!number) return nullptr;
  PyRef obj(maker.object_new(reinterpret_cast<PyTypeObject*>(f.uuid_class), maker.no_args.get(), nullptr));
  if (!obj) return nullptr;
  // As object.__setattr__ sets them: the class's own __setattr__ refuses every write.
  if (PyObject_GenericSetAttr(obj.get(), maker.uuid_int.get(), number.get()) != 0 ||
      PyObject_GenericSetAttr(obj.get(), maker.uuid_is_safe.get(), f.uuid_safe) != 0) {
    return nullptr;
  }
  return obj.release();
}

// The field's value from the driver's, or null with the error set.
PyObject* convert(const Field& f, PyObject* v, const Maker& maker) {
  switch (f.conversion) {
    case Conversion::None:
      break;
    case Conversion::Call:
      return PyObject_CallFunctionObjArgs(f.converter, v, nullptr);
    case Conversion::Truth: {
      const int truth = PyObject_IsTrue(v);
      return truth < 0 ? nullptr : PyBool_FromLong(truth);
    }
    case Conversion::Naive: {
      PyRef zone(PyObject_GetAttr(v, maker.tzinfo.get()));
      if (!zone) return nullptr;
      if (zone.get() == Py_None) return PyObject_CallFunctionObjArgs(f.converter, v, nullptr);
      break;
    }
    case Conversion::Shift: {
      PyRef delta(PyNumber_Subtract(v, f.shift_from));
      return delta ? PyNumber_Add(f.shift_to, delta.get()) : nullptr;
    }
    case Conversion::Parse: {
      // Exact str only: a subclass's + could be anything.
      if (PyUnicode_CheckExact(v)) {
        PyRef text = f.suffix != nullptr ? PyRef(PyUnicode_Concat(v, f.suffix)) : PyRef::borrow(v);
        if (!text) return nullptr;
        PyObject* parsed = PyObject_CallFunctionObjArgs(f.parse, text.get(), nullptr);
        if (parsed != nullptr) return parsed;
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
        PyErr_Clear();
      }
      return PyObject_CallFunctionObjArgs(f.converter, v, nullptr);
    }
    case Conversion::Lookup: {
      // The dict is the plan's, which the call holds; a hit is borrowed from it.
      PyObject* hit = PyDict_GetItemWithError(f.table, v);
      if (hit != nullptr) {
        Py_INCREF(hit);
        return hit;
      }
      if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
        PyErr_Clear();  // unhashable: f says what it makes of it
      }
      return PyObject_CallFunctionObjArgs(f.converter, v, nullptr);
    }
    case Conversion::Uuid: {
      std::array<char, 33> digits{};
      if (PyUnicode_CheckExact(v) && uuid_digits(v, digits.data())) return make_uuid(f, digits.data(), maker);
      return PyObject_CallFunctionObjArgs(f.converter, v, nullptr);
    }
  }
  Py_INCREF(v);
  return v;
}

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
    if (f.conversion != Conversion::None && values[i].get() != Py_None) {
      values[i] = PyRef(convert(f, values[i].get(), maker));
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
    maker.tzinfo = PyRef(PyUnicode_InternFromString("tzinfo"));
    maker.uuid_int = PyRef(PyUnicode_InternFromString("int"));
    maker.uuid_is_safe = PyRef(PyUnicode_InternFromString("is_safe"));
    if (maker.object_new == nullptr || !maker.no_args || !maker.tzinfo) return nullptr;
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
