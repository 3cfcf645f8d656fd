#pragma once
// The module's exception classes, every text the binding raises by itself, and
// the guard that turns a C++ exception escaping the core into a Python one.
#include <cstdint>
#include <new>
#include <string_view>

#include "core/error.hpp"
#include "python/py_ref.hpp"

namespace sarnic::python {

enum class ExceptionKind : std::uint8_t { Internal, Compile, Hydration };
inline constexpr std::size_t kExceptionKindCount = 3;

//! The module attribute: "SarnicInternalError", ...
const char* exception_attribute(ExceptionKind kind);
//! The process-wide class, created on first use. Borrowed; null with an error set.
PyObject* exception_class(ExceptionKind kind);

namespace text {
inline constexpr std::string_view kMetadataFailed = "metadata deserialization failed: ";
inline constexpr std::string_view kIrFailed = "IR deserialization failed: ";
inline constexpr std::string_view kMetadataError = "metadata deserialization error: ";
inline constexpr std::string_view kRowsError = "rows deserialization error: ";
inline constexpr std::string_view kPanicCompile =
    "internal Sarnic error: unexpected panic in Rust core (category: compile)";
inline constexpr std::string_view kPanicHydrate =
    "internal Sarnic error: unexpected panic in Rust core (category: hydrate)";
inline constexpr std::string_view kEncodeFailedOpen = "internal Sarnic error: bound_params msgpack encode failed (";
inline constexpr std::string_view kEncodeFailedClose = ")";
inline constexpr const char* kMigration = "Migration planning is not yet implemented";
inline constexpr std::string_view kExceptionTypeFailed = "Failed to initialize new exception type.";
inline constexpr std::string_view kAllAppendFailed = "could not append __name__ to __all__";
}  // namespace text

// Raise helpers: each sets the Python error and returns null, so entry points
// can `return raise...(...)`. Kept out of line and cold, away from the hot paths.
[[gnu::cold, gnu::noinline]] PyObject* raise_text(ExceptionKind kind, std::string_view message);
[[gnu::cold, gnu::noinline]] PyObject* raise_compile_error(const CompileError& error);
[[gnu::cold, gnu::noinline]] PyObject* raise_hydrate_error(const HydrateError& error);
//! "<prefix><detail>" as the SarnicCompileError of malformed IR.
[[gnu::cold, gnu::noinline]] PyObject* raise_malformed_ir(std::string_view prefix, std::string_view detail);
//! "<prefix><detail>" as a SarnicHydrationError.
[[gnu::cold, gnu::noinline]] PyObject* raise_hydration_text(std::string_view prefix, std::string_view detail);
//! `fault` plus the pending Python error's type and message, as a SystemError
//! whose cause is that error. For failures of the module's own set-up.
[[gnu::cold, gnu::noinline]] PyObject* raise_setup_fault(std::string_view fault);

enum class Boundary : std::uint8_t { Compile, Hydrate };
[[gnu::cold, gnu::noinline]] PyObject* raise_internal_fault(Boundary boundary);

//! Runs an entry point's body. Any C++ exception that escapes it (a broken
//! invariant, a bad index) becomes SarnicInternalError with the fixed message
//! of the boundary; exhausted memory becomes MemoryError. Objects the body
//! owned are released by unwinding before the error is set.
template <class Body>
PyObject* guarded(Boundary boundary, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    return raise_internal_fault(boundary);
  }
}

}  // namespace sarnic::python
