#pragma once
// The only owner of Python references in the binding: every object we create
// is either released by a PyRef or handed on (release()) exactly once, also
// when a C++ exception unwinds through the call.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The module is one abi3 file for every CPython from 3.11 on.
#if !defined(Py_LIMITED_API) || Py_LIMITED_API + 0 != 0x030B0000
#error "the binding must be compiled against the 3.11 limited API"
#endif

namespace sarnic::python {

class PyRef {
 public:
  PyRef() = default;
  //! Takes over a new reference (may be null).
  explicit PyRef(PyObject* owned) : obj_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = other.obj_;
      other.obj_ = nullptr;
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  //! A new reference to a borrowed object.
  static PyRef borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  //! Hands the reference on; the caller owns it from now on.
  PyObject* release() {
    PyObject* o = obj_;
    obj_ = nullptr;
    return o;
  }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace sarnic::python
