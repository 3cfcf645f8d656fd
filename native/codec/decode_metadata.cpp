// ModelMetadata, FieldMeta, FullTextIndexMeta and FieldType.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "codec/decode_records.hpp"

namespace sarnic::codec::detail {

namespace {

constexpr std::string_view kModelKeys[] = {"model_name", "table_name", "fields",
                                           "pk_index",   "pk_fields",  "full_text_indexes"};
constexpr std::string_view kFieldKeys[] = {"name",     "column_name",       "field_type", "allowed_operators",
                                           "nullable", "vector_dimensions", "fts_config", "fts_source_columns"};
constexpr std::string_view kIndexKeys[] = {"name", "fields", "config"};

constexpr RecordShape kModel{"struct ModelMetadata", kModelKeys, 4, all_of(4)};
constexpr RecordShape kField{"struct FieldMeta", kFieldKeys, 5, all_of(5)};
constexpr RecordShape kIndex{"struct FullTextIndexMeta", kIndexKeys, 2, all_of(2)};

//! The names an unknown field type is told about: the variants with the alias after ts_vector.
constexpr std::string_view kFieldTypeExpected[] = {
    "int",  "big_int", "float",  "decimal",   "text",     "bool",       "datetime",  "date",       "time",
    "uuid", "json",    "bytes",  "vector",    "ts_vector", "tsvector",  "array_text", "array_int", "array_uuid",
    "array_float", "enum"};

bool decode_field_type(Decoder& d, std::uint32_t i, FieldType& out) {
  const TapeEvent& e = d.at(i);
  if (e.kind == TapeKind::String) {
    std::string_view text = e.text();
    if (text == kTsVectorAlias) {
      out = FieldType::TsVector;
      return true;
    }
    for (std::size_t k = 0; k < std::size(kFieldTypeNames); ++k) {
      if (kFieldTypeNames[k] == text) {
        out = static_cast<FieldType>(k);
        return true;
      }
    }
    return d.fail_unknown_variant(i, text, kFieldTypeExpected);
  }
  return decode_enum(d, i, kFieldTypeNames, "enum FieldType", out);
}

bool decode_strings(Decoder& d, std::uint32_t i, std::span<const std::string_view>& out) {
  return decode_list(d, i, out, &Decoder::read_string);
}

bool decode_field(Decoder& d, std::uint32_t i, FieldMeta& out) {
  return d.read_record(i, kField, [&](unsigned field, std::uint32_t v) {
    switch (field) {
      case 0: return d.read_string(v, out.name);
      case 1: return d.read_string(v, out.column_name);
      case 2: return decode_field_type(d, v, out.field_type);
      case 3: return decode_strings(d, v, out.allowed_operators);
      case 4: return d.read_bool(v, out.nullable);
      case 5: return decode_optional(d, v, out.vector_dimensions, &Decoder::read_u32);
      case 6: return decode_optional(d, v, out.fts_config, &Decoder::read_string);
      case 7: return decode_optional(d, v, out.fts_source_columns, decode_strings);
    }
    return true;
  });
}

bool decode_index(Decoder& d, std::uint32_t i, FullTextIndexMeta& out) {
  return d.read_record(i, kIndex, [&](unsigned field, std::uint32_t v) {
    switch (field) {
      case 0: return d.read_string(v, out.name);
      case 1: return decode_strings(d, v, out.fields);
      case 2: return decode_optional(d, v, out.config, &Decoder::read_string);
    }
    return true;
  });
}

}  // namespace

bool decode_model(Decoder& d, std::uint32_t i, ModelMetadata& out) {
  return d.read_record(i, kModel, [&](unsigned field, std::uint32_t v) {
    switch (field) {
      case 0: return d.read_string(v, out.model_name);
      case 1: return d.read_string(v, out.table_name);
      case 2: return decode_list(d, v, out.fields, decode_field);
      case 3: return d.read_u64(v, out.pk_index);
      case 4: return decode_list(d, v, out.pk_fields, &Decoder::read_u64);
      case 5: return decode_list(d, v, out.full_text_indexes, decode_index);
    }
    return true;
  });
}

}  // namespace sarnic::codec::detail
