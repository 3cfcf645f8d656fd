#pragma once
// Interned parameter names and result keys, made once per process: keyword
// arguments are matched by pointer first, and result dicts reuse the same keys.
#include <cstdint>

#include "python/py_ref.hpp"

namespace sarnic::python {

enum class Name : std::uint8_t {
  MetadataJson,
  IrJson,
  Dialect,
  MetadataMp,
  IrMp,
  RowsJson,
  RowsMp,
  SqlText,
  BoundParams,
  ParamTypeSummary,
  Fingerprint,
  Operation,
  ModelsJson,
  ModelsMp,
  Plan,
  Rows,
};
inline constexpr std::size_t kNameCount = 16;

const char* name_text(Name name);
//! Interns every name once; false with the Python error set.
bool intern_names();
//! Borrowed; valid once intern_names() has succeeded.
PyObject* name_object(Name name);

}  // namespace sarnic::python
