#pragma once
// Fast-call argument decoding by hand: every parameter is positional-or-keyword
// and required, and failures read as the interpreter's own for a Python function
// of the same signature.
#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "codec/format.hpp"
#include "python/names.hpp"

namespace sarnic::python {

struct Signature {
  const char* function;  //!< "compile_query"
  std::span<const Name> parameters;
};

//! Fills `out[i]` with the (borrowed) argument of parameter i. False with a
//! TypeError set on surplus, unknown, duplicated or missing arguments.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out);

//! The UTF-8 text of a str (or subclass) argument, valid while `arg` lives.
std::optional<std::string_view> text_argument(const Signature& sig, std::size_t index, PyObject* arg);
//! The contents of a bytes (or subclass) argument; bytearray and memoryview refused.
std::optional<std::string_view> bytes_argument(const Signature& sig, std::size_t index, PyObject* arg);

//! Binds every parameter and reads each in order: the first `documents` as
//! `format` takes them (bytes for MessagePack, str for JSON), the rest as str.
//! False with the TypeError set at the first that fails.
template <std::size_t N>
bool document_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        codec::Format format, std::size_t documents, std::array<std::string_view, N>& out) {
  std::array<PyObject*, N> objects{};
  if (!bind_arguments(sig, args, nargs, kwnames, objects)) return false;
  for (std::size_t i = 0; i < N; ++i) {
    std::optional<std::string_view> arg = i < documents && format == codec::Format::MessagePack
                                              ? bytes_argument(sig, i, objects[i])
                                              : text_argument(sig, i, objects[i]);
    if (!arg) return false;
    out[i] = *arg;
  }
  return true;
}

}  // namespace sarnic::python
