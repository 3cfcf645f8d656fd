#pragma once
// Building the Python results: the compile result dict, and the rows of a
// checked batch as a list of dicts (json_value_to_pyobj over the tape).
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "codec/format.hpp"
#include "core/hydrate.hpp"
#include "core/tape.hpp"
#include "python/py_ref.hpp"
#include "sql/emit.hpp"

namespace sarnic::python {

//! The five-key result dict; `bound_params` as a list of JSON texts (Json) or
//! one MessagePack blob (MessagePack). New reference, or null with an error set.
PyObject* compiled_to_dict(const DispatchedQuery& compiled, codec::Format params_format);

//! json_value_to_pyobj: tape values as new Python objects. Keeps a scratch
//! vector for sorting nested objects and a small cache of nested-object keys,
//! so one converter should serve a whole batch.
class ValueConverter {
 public:
  explicit ValueConverter(const Tape& tape) : tape_(tape) {}

  //! The value whose first event is tape[index], inside `depth` containers.
  //! New reference, or null with the Python error set.
  PyObject* convert(std::uint32_t index, unsigned depth);

 private:
  struct CachedKey {
    std::string_view text;
    PyRef object;
  };

  const TapeEvent& at(std::uint32_t index) const;
  PyObject* array(const TapeEvent& event, std::uint32_t index, unsigned depth);
  PyObject* object(const TapeEvent& event, std::uint32_t index, unsigned depth);
  PyObject* key(std::string_view text);

  const Tape& tape_;
  std::vector<RowEntry> scratch_;
  std::array<CachedKey, 256> key_cache_{};
};

//! The rows of a batch that passed hydrate_rows, in order, each a dict with the
//! row's keys in its sorted order. New reference, or null with an error set.
PyObject* rows_to_list(const RowBatch& batch);

}  // namespace sarnic::python
