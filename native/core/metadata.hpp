#pragma once
// The model description sent with every call. Texts and lists view the decoded
// document; the record lives for one call.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/internal_fault.hpp"

namespace sarnic {

enum class FieldType : std::uint8_t {
  Int,
  BigInt,
  Float,
  Decimal,
  Text,
  Bool,
  Datetime,
  Date,
  Time,
  Uuid,
  Json,
  Bytes,
  Vector,
  TsVector,
  ArrayText,
  ArrayInt,
  ArrayUuid,
  ArrayFloat,
  Enum,
};
inline constexpr std::size_t kFieldTypeCount = 19;

struct FieldMeta {
  std::string_view name;         //!< model-level name: messages, labels, index membership
  std::string_view column_name;  //!< unquoted database column
  FieldType field_type = FieldType::Int;
  std::span<const std::string_view> allowed_operators;
  bool nullable = false;
  std::optional<std::uint32_t> vector_dimensions;
  std::optional<std::string_view> fts_config;
  std::optional<std::span<const std::string_view>> fts_source_columns;
};

struct FullTextIndexMeta {
  std::string_view name;
  std::span<const std::string_view> fields;  //!< field names, not column names
  std::optional<std::string_view> config;
};

struct ModelMetadata {
  std::string_view model_name;
  std::string_view table_name;
  std::span<const FieldMeta> fields;
  std::uint64_t pk_index = 0;
  std::span<const std::uint64_t> pk_fields;
  std::span<const FullTextIndexMeta> full_text_indexes;

  //! The primary key in key order: pk_fields, or [pk_index] when that is empty.
  //! Never empty. Positions are not bound-checked here.
  std::span<const std::uint64_t> effective_pk_fields() const {
    if (!pk_fields.empty()) return pk_fields;
    return {&pk_index, 1};
  }
};

//! The field at a validated position. An out-of-range index here means
//! validation was bypassed: an internal fault, not a user error.
inline const FieldMeta& field_at(const ModelMetadata& m, std::uint64_t index) {
  if (index >= m.fields.size()) internal_fault("field index out of range");
  return m.fields[index];
}

}  // namespace sarnic
