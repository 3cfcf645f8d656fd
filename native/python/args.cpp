#include "python/args.hpp"

#include <string>

#include "python/py_ref.hpp"

namespace sarnic::python {
namespace {

std::string quoted(Name name) {
  std::string s = "'";
  s += name_text(name);
  s += '\'';
  return s;
}

// Positions of kwnames entries, or -1: interned names match by pointer; a name
// built at run time falls back to comparing text.
Py_ssize_t find_parameter(const Signature& sig, PyObject* key) {
  for (std::size_t i = 0; i < sig.parameters.size(); ++i) {
    if (name_object(sig.parameters[i]) == key) return static_cast<Py_ssize_t>(i);
  }
  for (std::size_t i = 0; i < sig.parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, name_text(sig.parameters[i])) == 0) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

[[gnu::cold]] bool unexpected_keyword(const Signature& sig, PyObject* key) {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
  return false;
}

[[gnu::cold]] bool multiple_values(const Signature& sig, Name name) {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function, name_text(name));
  return false;
}

[[gnu::cold]] bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  std::size_t expected = sig.parameters.size();
  PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", sig.function, expected,
               expected == 1 ? "" : "s", given, given == 1 ? "was" : "were");
  return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'" as the interpreter lists them.
[[gnu::cold]] bool missing_arguments(const Signature& sig, std::span<PyObject*> out) {
  std::string names;
  std::size_t count = 0;
  for (PyObject* o : out) count += o == nullptr;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] != nullptr) continue;
    if (listed > 0) {
      if (count > 2) names += ',';
      names += ' ';
      if (listed + 1 == count) names += "and ";
    }
    names += quoted(sig.parameters[i]);
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.function, count,
               count == 1 ? "" : "s", names.c_str());
  return false;
}

[[gnu::cold]] std::nullopt_t wrong_type(const Signature& sig, std::size_t index, const char* expected,
                                        PyObject* arg) {
  if (arg == Py_None) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not None", sig.function,
                 name_text(sig.parameters[index]), expected);
    return std::nullopt;
  }
  PyRef type_name(PyType_GetName(Py_TYPE(arg)));
  if (!type_name) return std::nullopt;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %U", sig.function,
               name_text(sig.parameters[index]), expected, type_name.get());
  return std::nullopt;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out) {
  const auto arity = static_cast<Py_ssize_t>(sig.parameters.size());
  for (PyObject*& o : out) o = nullptr;
  for (Py_ssize_t i = 0; i < nargs && i < arity; ++i) out[static_cast<std::size_t>(i)] = args[i];

  // Keywords are checked before the positional count, as the interpreter does.
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_Size(kwnames);
    if (nkw < 0) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GetItem(kwnames, k);
      if (key == nullptr) return false;
      Py_ssize_t pos = find_parameter(sig, key);
      if (pos < 0) return unexpected_keyword(sig, key);
      auto slot = static_cast<std::size_t>(pos);
      if (out[slot] != nullptr) return multiple_values(sig, sig.parameters[slot]);
      out[slot] = args[nargs + k];
    }
  }
  if (nargs > arity) return too_many_positional(sig, nargs);
  for (PyObject* o : out) {
    if (o == nullptr) return missing_arguments(sig, out);
  }
  return true;
}

std::optional<std::string_view> text_argument(const Signature& sig, std::size_t index, PyObject* arg) {
  if (!PyUnicode_Check(arg)) return wrong_type(sig, index, "str", arg);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(arg, &size);
  if (data == nullptr) return std::nullopt;  // lone surrogates: the UnicodeEncodeError stands
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::optional<std::string_view> bytes_argument(const Signature& sig, std::size_t index, PyObject* arg) {
  if ((PyType_GetFlags(Py_TYPE(arg)) & Py_TPFLAGS_BYTES_SUBCLASS) == 0) return wrong_type(sig, index, "bytes", arg);
  char* data = PyBytes_AsString(arg);
  if (data == nullptr) return std::nullopt;
  Py_ssize_t size = PyBytes_Size(arg);
  if (size < 0) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

}  // namespace sarnic::python
