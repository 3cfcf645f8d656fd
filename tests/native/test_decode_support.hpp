#pragma once
// Helpers for the decoder tests: a JSON text's MessagePack twin, and compact
// dumps of decoded records so one table row states a whole expected record.
#include <gtest/gtest.h>
#include <msgpack.hpp>
#include <rapidjson/document.h>

#include <bit>
#include <charconv>
#include <string>
#include <string_view>

#include "codec/decode.hpp"
#include "codec/decode_records.hpp"

namespace sarnic::codec::test {

//! Always float64: msgpack-cxx's pack_double writes integral doubles as integers.
inline void pack_float64(msgpack::sbuffer& buf, double d) {
  std::uint64_t bits = std::bit_cast<std::uint64_t>(d);
  char bytes[9] = {'\xcb'};
  for (int k = 0; k < 8; ++k) bytes[1 + k] = static_cast<char>(bits >> (56 - 8 * k));
  buf.write(bytes, sizeof bytes);
}

inline void pack_json(msgpack::packer<msgpack::sbuffer>& pk, msgpack::sbuffer& buf, const rapidjson::Value& v) {
  if (v.IsNull()) pk.pack_nil();
  else if (v.IsBool()) v.GetBool() ? pk.pack_true() : pk.pack_false();
  else if (v.IsUint64()) pk.pack(v.GetUint64());
  else if (v.IsInt64()) pk.pack(v.GetInt64());
  else if (v.IsDouble()) pack_float64(buf, v.GetDouble());
  else if (v.IsString()) pk.pack_str(v.GetStringLength()), pk.pack_str_body(v.GetString(), v.GetStringLength());
  else if (v.IsArray()) {
    pk.pack_array(v.Size());
    for (const auto& item : v.GetArray()) pack_json(pk, buf, item);
  } else {
    pk.pack_map(v.MemberCount());
    for (const auto& m : v.GetObject()) {
      pack_json(pk, buf, m.name);
      pack_json(pk, buf, m.value);
    }
  }
}

//! The same document in MessagePack: key order and duplicate keys are kept,
//! numbers with a fraction or exponent become float64.
inline std::string to_msgpack(std::string_view json) {
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseFullPrecisionFlag>(json.data(), json.size());
  EXPECT_FALSE(doc.HasParseError()) << json;
  msgpack::sbuffer buf;
  msgpack::packer<msgpack::sbuffer> pk(buf);
  pack_json(pk, buf, doc);
  return std::string(buf.data(), buf.size());
}

//! A MessagePack document written by hand, for what JSON cannot say.
struct Mp {
  msgpack::sbuffer buf;
  msgpack::packer<msgpack::sbuffer> pk{buf};
  Mp& map(std::uint32_t n) { return pk.pack_map(n), *this; }
  Mp& arr(std::uint32_t n) { return pk.pack_array(n), *this; }
  Mp& str(std::string_view s) { return pk.pack_str(s.size()), pk.pack_str_body(s.data(), s.size()), *this; }
  Mp& bin(std::string_view s) { return pk.pack_bin(s.size()), pk.pack_bin_body(s.data(), s.size()), *this; }
  Mp& ext(std::string_view s) { return pk.pack_ext(s.size(), 1), pk.pack_ext_body(s.data(), s.size()), *this; }
  Mp& uint(std::uint64_t v) { return pk.pack_uint64(v), *this; }
  Mp& sint(std::int64_t v) { return pk.pack_int64(v), *this; }
  Mp& f64(double v) { return pack_float64(buf, v), *this; }
  Mp& f32(float v) { return pk.pack_float(v), *this; }
  Mp& nil() { return pk.pack_nil(), *this; }
  Mp& json(std::string_view text) {
    std::string b = to_msgpack(text);
    buf.write(b.data(), b.size());
    return *this;
  }
  std::string bytes() const { return std::string(buf.data(), buf.size()); }
};

inline std::string num(double d) {
  char buf[64];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, d).ptr);
}

template <class T, class F>
std::string list(std::span<const T> items, F f) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ',';
    out += f(items[i]);
  }
  out += ']';
  return out;
}

inline std::string dump(const BindValue& v) {
  std::string t(bind_type_name(v.type()));
  switch (v.type()) {
    case BindType::Null: return t;
    case BindType::Bool: return t + ":" + (v.as_bool() ? "true" : "false");
    case BindType::Int: return t + ":" + std::to_string(v.as_int());
    case BindType::Float: return t + ":" + num(v.as_float());
    case BindType::Text:
    case BindType::Datetime: return t + ":" + std::string(v.as_text());
    case BindType::Bytes: return t + list(v.as_bytes(), [](std::uint8_t b) { return std::to_string(b); });
    case BindType::FloatArray: return t + list(v.as_float_array(), num);
    case BindType::TextArray: return t + list(v.as_text_array(), [](std::string_view s) { return std::string(s); });
    case BindType::IntArray: return t + list(v.as_int_array(), [](std::int64_t i) { return std::to_string(i); });
  }
  return "?";
}

inline std::string dump(const FieldRef& f) { return std::string(f.name) + "#" + std::to_string(f.index); }
inline std::string dump(const Assignment& a) { return dump(a.field) + "=" + dump(a.value); }
inline std::string dump(const Filter& f) { return dump(f.field) + " " + std::string(f.op) + " " + dump(f.value); }
inline std::string dump_refs(std::span<const FieldRef> refs) { return list(refs, [](const FieldRef& f) { return dump(f); }); }
inline std::string dump_pairs(std::span<const Assignment> row) { return list(row, [](const Assignment& a) { return dump(a); }); }
inline std::string dump_values(std::span<const BindValue> vs) { return list(vs, [](const BindValue& v) { return dump(v); }); }

inline std::string dump(const Predicate& p) {
  switch (p.kind) {
    case Predicate::Kind::And: return "and" + list(p.children(), [](const Predicate& c) { return dump(c); });
    case Predicate::Kind::Or: return "or" + list(p.children(), [](const Predicate& c) { return dump(c); });
    case Predicate::Kind::Not: return "not(" + dump(p.children()[0]) + ")";
    case Predicate::Kind::Filter: return "(" + dump(p.filter) + ")";
  }
  return "?";
}

inline std::string dump(const Operation& op) {
  struct Visit {
    std::string operator()(const Select& s) { return "select" + dump_refs(s.fields); }
    std::string operator()(const Insert& s) { return "insert" + dump_pairs(s.values); }
    std::string operator()(const Update& s) { return "update" + dump_pairs(s.assignments) + (s.danger ? "!" : ""); }
    std::string operator()(const Delete& s) { return std::string("delete") + (s.danger ? "!" : ""); }
    std::string operator()(const BulkInsert& s) { return "bulk_insert" + list(s.rows, dump_pairs) + (s.returning ? "+" : ""); }
    std::string operator()(const BulkUpdate& s) {
      return "bulk_update" + dump_refs(s.pk_fields) + dump_refs(s.fields) +
             list(s.rows, [](const BulkUpdateRow& r) { return dump_values(r.pk_values) + dump_values(r.values); });
    }
    std::string operator()(const BulkDelete& s) { return "bulk_delete" + dump_refs(s.pk_fields) + list(s.ids, dump_values); }
  };
  return std::visit(Visit{}, op);
}

inline const char* direction(SortDirection d) {
  switch (d) {
    case SortDirection::Asc: return "asc";
    case SortDirection::Desc: return "desc";
    case SortDirection::Unknown: return "unknown";
  }
  return "?";
}

//! Parts left at their defaults are omitted.
inline std::string dump(const QuerySetIR& ir) {
  std::string out = "v" + std::to_string(ir.version) + " " + std::string(ir.model_name) + " " + dump(ir.operation);
  if (!ir.filters.empty()) out += " where" + list(ir.filters, [](const Filter& f) { return dump(f); });
  if (!ir.order_by.empty())
    out += " order" + list(ir.order_by, [](const OrderBy& o) { return dump(o.field) + " " + direction(o.direction); });
  if (ir.limit) out += " limit=" + std::to_string(*ir.limit);
  if (ir.offset) out += " offset=" + std::to_string(*ir.offset);
  if (const auto& v = ir.vector_order_by)
    out += " near(" + dump(v->field) + " m" + std::to_string(int(v->metric)) + " " + dump(v->value) + ")";
  if (const auto& r = ir.text_rank_by)
    out += " rank(" + dump(r->field) + " " + dump(r->query) + " m" + std::to_string(int(r->mode)) + ")";
  if (ir.predicate) out += " pred=" + dump(*ir.predicate);
  if (ir.distinct) out += " distinct";
  if (ir.exists) out += " exists";
  for (const JoinSpec& j : ir.joins) {
    out += " join(" + std::string(j.relation) + " " + std::string(j.alias) + " " + dump(j.local_field) + " " +
           std::string(j.remote_table) + "." + std::string(j.remote_pk_column) +
           list(j.remote_fields, [](const JoinFieldRef& f) {
             return std::to_string(f.index) + ":" + std::string(f.name) + ":" + std::string(f.column);
           }) + ")";
  }
  return out;
}

//! Appends the pieces (also sidesteps GCC 12's false -Wrestrict on "lit" + string).
template <class... Pieces>
void cat(std::string& out, const Pieces&... pieces) {
  (out.append(std::string_view(pieces)), ...);
}

inline std::string dump(const ModelMetadata& m) {
  auto strings = [](std::span<const std::string_view> s) { return list(s, [](std::string_view x) { return std::string(x); }); };
  std::string out;
  cat(out, m.model_name, "/", m.table_name, " pk=", std::to_string(m.pk_index));
  if (!m.pk_fields.empty()) cat(out, " pk_fields", list(m.pk_fields, [](std::uint64_t i) { return std::to_string(i); }));
  for (const FieldMeta& f : m.fields) {
    cat(out, " ", f.name, "/", f.column_name, ":", detail::kFieldTypeNames[static_cast<std::size_t>(f.field_type)],
        strings(f.allowed_operators), f.nullable ? "?" : "");
    if (f.vector_dimensions) cat(out, " dims=", std::to_string(*f.vector_dimensions));
    if (f.fts_config) cat(out, " cfg=", *f.fts_config);
    if (f.fts_source_columns) cat(out, " src", strings(*f.fts_source_columns));
  }
  for (const FullTextIndexMeta& i : m.full_text_indexes) {
    cat(out, " index(", i.name, strings(i.fields));
    if (i.config) cat(out, " ", *i.config);
    cat(out, ")");
  }
  return out;
}

//! The dump of the record, or "error: " and the message.
template <class Record>
std::string outcome(const std::expected<Record, std::string>& r) {
  return r ? dump(*r) : "error: " + r.error();
}

inline std::string ir_of(Format format, std::string_view input) {
  Arena arena;
  Tape tape;
  return outcome(decode_ir(format, input, arena, tape));
}

inline std::string metadata_of(Format format, std::string_view input) {
  Arena arena;
  Tape tape;
  return outcome(decode_metadata(format, input, arena, tape));
}

inline std::string bind_value_of(Format format, std::string_view input) {
  Arena arena;
  Tape tape;
  if (auto read = detail::read_document(format, input, arena, tape); !read) return "error: " + read.error();
  detail::Decoder d(tape, arena, format);
  BindValue v;
  if (!detail::decode_bind_value(d, 0, v)) return "error: " + d.take_error(input);
  return dump(v);
}

//! Decodes the JSON text and its MessagePack twin; they must agree, JSON
//! errors adding only their position. Returns the MessagePack outcome.
inline std::string both(std::string (*decode)(Format, std::string_view), std::string_view json) {
  std::string from_json = decode(Format::Json, json);
  std::string from_mp = decode(Format::MessagePack, to_msgpack(json));
  if (from_mp.starts_with("error: ")) {
    EXPECT_TRUE(from_json.starts_with(from_mp + " at line ")) << from_json << "\n vs " << from_mp;
  } else {
    EXPECT_EQ(from_json, from_mp);
  }
  return from_mp;
}

}  // namespace sarnic::codec::test
