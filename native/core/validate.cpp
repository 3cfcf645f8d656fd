// Per-filter, predicate and full-text checks of the compile driver.
#include <string>

#include "core/compile.hpp"

namespace sarnic {
namespace {

// The decoders bound nesting far below this; a deeper tree can only come from
// a caller that bypassed them, and must not exhaust the stack.
constexpr unsigned kMaxPredicateDepth = 2048;

[[gnu::cold, gnu::noinline]] CompileError invalid_identifier(std::string_view what, std::string_view value) {
  std::string message = "invalid ";
  message.append(what);
  message.append(" identifier: ");
  message.append(quoted_form(value));
  return malformed_ir(std::move(message));
}

[[gnu::cold, gnu::noinline]] CompileError fts_needs_text(std::string_view op) {
  std::string message = "FTS operator ";
  message.append(op);
  message.append(" requires a text bind value");
  return malformed_ir(std::move(message));
}

bool is_fts_type_capable(const FieldMeta& field, const FullTextIndexMeta* listing) {
  switch (field.field_type) {
    case FieldType::TsVector:
      return true;
    case FieldType::Text:
      return listing != nullptr || field.fts_source_columns.has_value();
    case FieldType::Int:
    case FieldType::BigInt:
    case FieldType::Float:
    case FieldType::Decimal:
    case FieldType::Bool:
    case FieldType::Datetime:
    case FieldType::Date:
    case FieldType::Time:
    case FieldType::Uuid:
    case FieldType::Json:
    case FieldType::Bytes:
    case FieldType::Vector:
    case FieldType::ArrayText:
    case FieldType::ArrayInt:
    case FieldType::ArrayUuid:
    case FieldType::ArrayFloat:
    case FieldType::Enum:
      return false;
  }
  return false;
}

// PostgreSQL writes the configuration of a match or rank between single quotes.
// Without its own fts_config a field borrows the config of the first index
// listing it, so that config must be as safe as the field's own.
CompileStatus validate_borrowed_config(const FieldMeta& field, const FullTextIndexMeta* listing) {
  if (field.fts_config || listing == nullptr || !listing->config) return {};
  if (!is_valid_identifier(*listing->config)) return std::unexpected(invalid_identifier("fts_config", *listing->config));
  return {};
}

// Full-text checks of a field that resolved: metadata identifiers, then the
// configuration it would borrow from an index.
CompileStatus validate_fts_field(const FieldMeta& field, const FullTextIndexMeta* listing) {
  if (auto ok = validate_fts_field_metadata(field); !ok) return ok;
  return validate_borrowed_config(field, listing);
}

CompileStatus walk_predicate(const ModelMetadata& metadata, const Predicate& predicate, unsigned depth,
                             bool fts_only) {
  if (depth > kMaxPredicateDepth) internal_fault("predicate nesting beyond the decoder's limit");
  switch (predicate.kind) {
    case Predicate::Kind::And:
    case Predicate::Kind::Or:
    case Predicate::Kind::Not:
      for (const Predicate& child : predicate.children()) {
        if (auto ok = walk_predicate(metadata, child, depth + 1, fts_only); !ok) return ok;
      }
      return {};
    case Predicate::Kind::Filter:
      if (!fts_only) return validate_filter(metadata, predicate.filter);
      if (is_fts_operator(predicate.filter.op)) return validate_fts_filter(metadata, predicate.filter);
      return {};
  }
  return {};
}

}  // namespace

bool is_fts_operator(std::string_view op) {
  return op == "match" || op == "match_phrase" || op == "match_websearch" || op == "match_boolean";
}

bool is_valid_identifier(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

const FullTextIndexMeta* first_index_listing(const ModelMetadata& metadata, std::string_view field_name) {
  for (const FullTextIndexMeta& index : metadata.full_text_indexes) {
    for (std::string_view name : index.fields) {
      if (name == field_name) return &index;
    }
  }
  return nullptr;
}

bool is_fts_capable(const ModelMetadata& metadata, const FieldMeta& field) {
  return is_fts_type_capable(field, first_index_listing(metadata, field.name));
}

CompileStatus validate_filter(const ModelMetadata& metadata, const Filter& filter) {
  if (filter.field.index >= metadata.fields.size()) {
    return std::unexpected(unknown_field(metadata.model_name, filter.field.name));
  }
  const FieldMeta& field = metadata.fields[filter.field.index];
  for (std::string_view allowed : field.allowed_operators) {
    if (allowed == filter.op) return {};
  }
  return std::unexpected(unsupported_operator(metadata.model_name, filter.field.name, filter.op));
}

CompileStatus validate_predicate(const ModelMetadata& metadata, const Predicate& predicate) {
  return walk_predicate(metadata, predicate, 0, false);
}

CompileStatus validate_predicate_fts(const ModelMetadata& metadata, const Predicate& predicate) {
  return walk_predicate(metadata, predicate, 0, true);
}

CompileStatus validate_fts_filter(const ModelMetadata& metadata, const Filter& filter) {
  if (filter.field.index >= metadata.fields.size()) {
    return std::unexpected(unknown_field(metadata.model_name, filter.field.name));
  }
  const FieldMeta& field = metadata.fields[filter.field.index];
  const FullTextIndexMeta* listing = first_index_listing(metadata, field.name);
  if (!is_fts_type_capable(field, listing)) {
    return std::unexpected(unsupported_operator(metadata.model_name, filter.field.name, filter.op));
  }
  if (!filter.value.is(BindType::Text)) return std::unexpected(fts_needs_text(filter.op));
  return validate_fts_field(field, listing);
}

CompileStatus validate_fts_field_metadata(const FieldMeta& field) {
  if (field.fts_config && !is_valid_identifier(*field.fts_config)) {
    return std::unexpected(invalid_identifier("fts_config", *field.fts_config));
  }
  if (field.fts_source_columns) {
    for (std::string_view column : *field.fts_source_columns) {
      if (!is_valid_identifier(column)) return std::unexpected(invalid_identifier("fts_source_columns", column));
    }
  }
  return {};
}

CompileStatus validate_text_search(const ModelMetadata& metadata, const QuerySetIR& ir) {
  for (const Filter& filter : ir.filters) {
    if (!is_fts_operator(filter.op)) continue;
    if (auto ok = validate_fts_filter(metadata, filter); !ok) return ok;
  }
  if (ir.predicate) {
    if (auto ok = validate_predicate_fts(metadata, *ir.predicate); !ok) return ok;
  }
  if (!ir.text_rank_by) return {};

  const TextRankBy& rank = *ir.text_rank_by;
  if (rank.field.index >= metadata.fields.size()) {
    return std::unexpected(unknown_field(metadata.model_name, rank.field.name));
  }
  const FieldMeta& field = metadata.fields[rank.field.index];
  const FullTextIndexMeta* listing = first_index_listing(metadata, field.name);
  if (!is_fts_type_capable(field, listing)) {
    return std::unexpected(unsupported_operator(metadata.model_name, rank.field.name, "rank_by"));
  }
  if (!rank.query.is(BindType::Text)) {
    return std::unexpected(malformed_ir("text_rank_by.query must be a text bind value"));
  }
  return validate_fts_field(field, listing);
}

}  // namespace sarnic
