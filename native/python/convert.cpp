#include "python/convert.hpp"

#include <exception>
#include <string>
#include <unordered_map>

#include "codec/bind_writer.hpp"
#include "core/internal_fault.hpp"
#include "python/errors.hpp"
#include "python/names.hpp"

namespace sarnic::python {
namespace {

PyObject* new_str(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

//! Sets dict[name] to a new reference, consuming it. False with an error set.
bool set_item(PyObject* dict, Name name, PyObject* value) {
  PyRef owned(value);
  return owned && PyDict_SetItem(dict, name_object(name), owned.get()) == 0;
}

// Labels repeat: a bulk insert binds the same few labels for every row. The
// views of a label point into the request, which outlives the conversion.
struct LabelHash {
  std::size_t operator()(const ParamLabel& l) const noexcept {
    std::size_t h = std::hash<std::string_view>{}(l.suffix);
    return h ^ (std::hash<std::string_view>{}(l.field) * 31 + l.has_field);
  }
};
struct LabelEq {
  bool operator()(const ParamLabel& a, const ParamLabel& b) const noexcept {
    return a.has_field == b.has_field && a.field == b.field && a.suffix == b.suffix;
  }
};
constexpr std::size_t kMaxCachedLabels = 256;

PyObject* labels_to_list(std::span<const ParamLabel> labels) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(labels.size())));
  if (!list) return nullptr;
  std::unordered_map<ParamLabel, PyObject*, LabelHash, LabelEq> seen;  // borrowed from the list
  std::string text;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    const ParamLabel& label = labels[i];
    PyObject* item = nullptr;
    if (auto it = seen.find(label); it != seen.end()) {
      item = Py_NewRef(it->second);
    } else {
      text.clear();
      label.append_to(text);
      item = new_str(text);
      if (item == nullptr) return nullptr;
      if (seen.size() < kMaxCachedLabels) seen.emplace(label, item);
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* params_to_json_list(std::span<const BindValue> values) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  std::string text;
  text.reserve(64);
  for (std::size_t i = 0; i < values.size(); ++i) {
    text.clear();
    codec::write_bind_json(text, values[i]);
    PyObject* item = new_str(text);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* params_to_msgpack(std::span<const BindValue> values) {
  std::string blob;
  blob.reserve(8 + values.size() * 24);
  try {
    codec::write_bind_list_msgpack(blob, values);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    std::string detail = e.what();
    std::string message;
    message.append(text::kEncodeFailedOpen).append(detail).append(text::kEncodeFailedClose);
    return raise_text(ExceptionKind::Internal, message);
  }
  return PyBytes_FromStringAndSize(blob.data(), static_cast<Py_ssize_t>(blob.size()));
}

constexpr std::size_t kMaxCachedKeyLength = 64;

}  // namespace

PyObject* compiled_to_dict(const DispatchedQuery& compiled, codec::Format params_format) {
  const CompiledQuery& q = compiled.query;
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  if (!set_item(dict.get(), Name::SqlText, new_str(q.sql_text))) return nullptr;
  PyObject* params = nullptr;
  switch (params_format) {
    case codec::Format::Json: params = params_to_json_list(q.bound_params); break;
    case codec::Format::MessagePack: params = params_to_msgpack(q.bound_params); break;
  }
  if (!set_item(dict.get(), Name::BoundParams, params)) return nullptr;
  if (!set_item(dict.get(), Name::ParamTypeSummary, labels_to_list(q.param_type_summary))) return nullptr;
  if (!set_item(dict.get(), Name::Fingerprint, new_str(q.fingerprint))) return nullptr;
  if (!set_item(dict.get(), Name::Operation, new_str(compiled.operation))) return nullptr;
  return dict.release();
}

const TapeEvent& ValueConverter::at(std::uint32_t index) const {
  if (index >= tape_.size()) internal_fault("tape index out of range");
  return tape_[index];
}

PyObject* ValueConverter::convert(std::uint32_t index, unsigned depth) {
  const TapeEvent& e = at(index);
  switch (e.kind) {
    case TapeKind::Null: return Py_NewRef(Py_None);
    case TapeKind::False: return Py_NewRef(Py_False);
    case TapeKind::True: return Py_NewRef(Py_True);
    // Above 2^63-1 too: the exact value, never a rounded float.
    case TapeKind::UInt: return PyLong_FromUnsignedLongLong(e.u);
    case TapeKind::Int: return PyLong_FromLongLong(e.i);
    // NaN and infinities stay floats.
    case TapeKind::Double: return PyFloat_FromDouble(e.d);
    case TapeKind::String: return new_str(e.text());
    case TapeKind::Binary:
    case TapeKind::Extension: internal_fault("binary value in a decoded row");
    case TapeKind::Array: return array(e, index, depth);
    case TapeKind::Map: return object(e, index, depth);
  }
  internal_fault("unknown tape event");
}

PyObject* ValueConverter::array(const TapeEvent& event, std::uint32_t index, unsigned depth) {
  if (depth >= codec::kMessagePackMaxDepth) internal_fault("nesting beyond the reader's limit");
  PyRef list(PyList_New(static_cast<Py_ssize_t>(event.size)));
  if (!list) return nullptr;
  std::uint32_t next = index + 1;
  for (std::uint32_t i = 0; i < event.size; ++i) {
    std::uint32_t end = at(next).end;
    PyObject* item = convert(next, depth + 1);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    next = end;
  }
  return list.release();
}

PyObject* ValueConverter::object(const TapeEvent& event, std::uint32_t index, unsigned depth) {
  if (depth >= codec::kMessagePackMaxDepth) internal_fault("nesting beyond the reader's limit");
  // This object's entries sit at the end of the shared scratch vector while its
  // values (which may push their own entries after them) are converted.
  struct Restore {
    std::vector<RowEntry>& v;
    std::size_t size;
    ~Restore() { v.resize(size); }
  } restore{scratch_, scratch_.size()};
  const std::size_t base = restore.size;

  std::uint32_t next = index + 1;
  for (std::uint32_t i = 0; i < event.size; ++i) {
    const TapeEvent& k = at(next);
    if (k.kind != TapeKind::String) internal_fault("map key that is not text in a decoded row");
    scratch_.push_back({k.text(), next + 1});
    next = at(next + 1).end;
  }
  std::size_t count = sort_unique_entries(std::span<RowEntry>(scratch_.data() + base, event.size));

  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    RowEntry entry = scratch_[base + i];  // a copy: converting may grow scratch_
    PyRef k(key(entry.key));
    if (!k) return nullptr;
    PyRef v(convert(entry.value, depth + 1));
    if (!v || PyDict_SetItem(dict.get(), k.get(), v.get()) != 0) return nullptr;
  }
  return dict.release();
}

// Nested objects in a JSON column tend to repeat their keys on every row: a
// direct-mapped cache keeps one str per recent short key.
PyObject* ValueConverter::key(std::string_view text) {
  if (text.size() > kMaxCachedKeyLength) return new_str(text);
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  CachedKey& slot = key_cache_[h % key_cache_.size()];
  if (slot.object && slot.text == text) return Py_NewRef(slot.object.get());
  PyObject* fresh = new_str(text);
  if (fresh == nullptr) return nullptr;
  slot.text = text;
  slot.object = PyRef::borrow(fresh);
  return fresh;
}

PyObject* rows_to_list(const RowBatch& batch) {
  const std::size_t n = batch.row_count();
  PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  if (n == 0) return list.release();
  if (batch.tape == nullptr) internal_fault("row batch without a tape");

  ValueConverter values(*batch.tape);
  // Column keys by position in the previous row: rows of one result set share
  // their columns, so each key costs one comparison instead of a new str.
  struct Column {
    std::string_view text;
    PyRef object;
  };
  std::vector<Column> columns;
  for (std::size_t r = 0; r < n; ++r) {
    std::span<const RowEntry> row = batch.row(r);
    if (columns.size() < row.size()) columns.resize(row.size());
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t j = 0; j < row.size(); ++j) {
      Column& column = columns[j];
      if (!column.object || column.text != row[j].key) {
        column.object = PyRef(new_str(row[j].key));
        if (!column.object) return nullptr;
        column.text = row[j].key;
      }
      PyRef v(values.convert(row[j].value, 2));
      if (!v || PyDict_SetItem(dict.get(), column.object.get(), v.get()) != 0) return nullptr;
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(r), dict.release());
  }
  return list.release();
}

}  // namespace sarnic::python
