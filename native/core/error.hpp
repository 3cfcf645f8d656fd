#pragma once
// The failures reported to Python. Errors are plain values that own copies of
// every text they mention, so they outlive the request they came from.
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

namespace sarnic {

struct UnknownField {
  std::string model, field;
};
struct UnsupportedOperator {
  std::string model, field, op;
};
struct InvalidSortDirection {
  std::string model, field, direction;
};
struct UnsupportedVersion {
  std::uint32_t expected = 0, got = 0;
};
struct MalformedIr {
  std::string message;
};
struct UnscopedMutation {
  std::string model, operation;
};

struct CompileError {
  std::variant<UnknownField, UnsupportedOperator, InvalidSortDirection, UnsupportedVersion, MalformedIr,
               UnscopedMutation>
      detail;

  //! The exact one-line text the Python exception carries.
  std::string render() const;
};

struct MissingColumn {
  std::string model, column;
};
struct NullInNonNullable {
  std::string model, column;
};

struct HydrateError {
  std::variant<MissingColumn, NullInNonNullable> detail;

  std::string render() const;
};

template <class T>
using CompileResult = std::expected<T, CompileError>;
using CompileStatus = std::expected<void, CompileError>;

// Constructors for the cold paths: out of line so the callers' hot loops stay small.
[[gnu::cold, gnu::noinline]] CompileError unknown_field(std::string_view model, std::string_view field);
[[gnu::cold, gnu::noinline]] CompileError unsupported_operator(std::string_view model, std::string_view field,
                                                               std::string_view op);
[[gnu::cold, gnu::noinline]] CompileError invalid_sort_direction(std::string_view model, std::string_view field);
[[gnu::cold, gnu::noinline]] CompileError unsupported_version(std::uint32_t got);
[[gnu::cold, gnu::noinline]] CompileError unsupported_version(std::uint32_t got, std::uint32_t expected);
[[gnu::cold, gnu::noinline]] CompileError malformed_ir(std::string message);
[[gnu::cold, gnu::noinline]] CompileError unscoped_mutation(std::string_view model, std::string_view operation);
[[gnu::cold, gnu::noinline]] HydrateError missing_column(std::string_view model, std::string_view column);
[[gnu::cold, gnu::noinline]] HydrateError null_in_non_nullable(std::string_view model, std::string_view column);

//! Text between double quotes with backslash escapes (\" \\ \t \n \r \0, other
//! non-printable code points as \u{hex}), as used for dialect names and identifiers.
std::string quoted_form(std::string_view text);

}  // namespace sarnic
