#include "python/errors.hpp"

#include <array>
#include <string>
#include <utility>

namespace sarnic::python {
namespace {

// One slot per class for the life of the process, shared by every import of the
// module. Filled under the GIL; never released.
std::array<PyObject*, kExceptionKindCount> g_classes{};

const char* qualified_name(ExceptionKind kind) {
  switch (kind) {
    case ExceptionKind::Internal: return "sarnic_native.SarnicInternalError";
    case ExceptionKind::Compile: return "sarnic_native.SarnicCompileError";
    case ExceptionKind::Hydration: return "sarnic_native.SarnicHydrationError";
  }
  return "";
}

PyRef make_str(std::string_view s) {
  return PyRef(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

std::string joined(std::string_view prefix, std::string_view detail) {
  std::string message;
  message.reserve(prefix.size() + detail.size());
  message.append(prefix).append(detail);
  return message;
}

}  // namespace

const char* exception_attribute(ExceptionKind kind) {
  switch (kind) {
    case ExceptionKind::Internal: return "SarnicInternalError";
    case ExceptionKind::Compile: return "SarnicCompileError";
    case ExceptionKind::Hydration: return "SarnicHydrationError";
  }
  return "";
}

PyObject* exception_class(ExceptionKind kind) {
  PyObject*& slot = g_classes[static_cast<std::size_t>(kind)];
  if (slot != nullptr) return slot;
  // Creating a type runs interpreter code that may release the GIL, so a
  // once-flag could deadlock; instead the slot is checked again afterwards and
  // a thread that lost the race drops its own class for the winner's.
  PyObject* created = PyErr_NewExceptionWithDoc(qualified_name(kind), nullptr, PyExc_RuntimeError, nullptr);
  if (created == nullptr) {
    raise_setup_fault(text::kExceptionTypeFailed);
    return nullptr;
  }
  if (slot != nullptr) {
    Py_DECREF(created);
    return slot;
  }
  slot = created;
  return slot;
}

PyObject* raise_text(ExceptionKind kind, std::string_view message) {
  PyObject* cls = exception_class(kind);
  if (cls == nullptr) return nullptr;
  PyRef arg = make_str(message);
  if (!arg) return nullptr;
  PyErr_SetObject(cls, arg.get());
  return nullptr;
}

PyObject* raise_compile_error(const CompileError& error) {
  return raise_text(ExceptionKind::Compile, error.render());
}

PyObject* raise_hydrate_error(const HydrateError& error) {
  return raise_text(ExceptionKind::Hydration, error.render());
}

PyObject* raise_malformed_ir(std::string_view prefix, std::string_view detail) {
  return raise_compile_error(malformed_ir(joined(prefix, detail)));
}

PyObject* raise_hydration_text(std::string_view prefix, std::string_view detail) {
  return raise_text(ExceptionKind::Hydration, joined(prefix, detail));
}

PyObject* raise_internal_fault(Boundary boundary) {
  switch (boundary) {
    case Boundary::Compile: return raise_text(ExceptionKind::Internal, text::kPanicCompile);
    case Boundary::Hydrate: return raise_text(ExceptionKind::Internal, text::kPanicHydrate);
  }
  return nullptr;
}

PyObject* raise_setup_fault(std::string_view fault) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef cause(value);
  Py_XDECREF(type);
  Py_XDECREF(traceback);

  PyRef message = make_str(fault);
  if (!message) return nullptr;
  if (cause) {
    PyRef type_name(PyType_GetName(Py_TYPE(cause.get())));
    PyRef detail(PyObject_Str(cause.get()));
    PyRef full;
    if (type_name && detail) {
      full = PyRef(PyUnicode_FromFormat("%U: %U: %U", message.get(), type_name.get(), detail.get()));
    }
    if (full) {
      message = std::move(full);
    } else {
      PyErr_Clear();
    }
  }
  PyRef fault_object(PyObject_CallFunctionObjArgs(PyExc_SystemError, message.get(), nullptr));
  if (!fault_object) return nullptr;
  if (cause) PyException_SetCause(fault_object.get(), cause.release());
  PyErr_SetObject(PyExc_SystemError, fault_object.get());
  return nullptr;
}

}  // namespace sarnic::python
