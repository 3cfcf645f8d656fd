// Metadata + IR through decoding and the whole compile, in every dialect.
// Built twice: SARNIC_FUZZ_MSGPACK=0 reads JSON text, =1 MessagePack bytes.
//
// Beyond "no crash", every result is checked: parameters and labels pair up,
// the fingerprint is FNV-1a of the text, placeholders are $1..$n in order
// (PostgreSQL) or exactly n "?" outside quotes, nothing but fixed SQL words
// stands outside quotes, bound values write back to valid JSON and MessagePack,
// and every text is UTF-8. The JSON target also replays each document that
// parses as MessagePack and requires the same outcome.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "codec/bind_writer.hpp"
#include "codec/decode.hpp"
#include "codec/reader.hpp"
#include "core/internal_fault.hpp"
#include "fuzz_support.hpp"
#include "sql/emit.hpp"

#ifndef SARNIC_FUZZ_MSGPACK
#define SARNIC_FUZZ_MSGPACK 0
#endif

namespace sarnic::fuzz {
namespace {

constexpr codec::Format kFormat = SARNIC_FUZZ_MSGPACK ? codec::Format::MessagePack : codec::Format::Json;

constexpr std::string_view kDialects[] = {"postgres", "mysql", "sqlite", "mssql"};

const std::string& builtin_metadata() {
  static const std::string doc = [] {
    if constexpr (kFormat == codec::Format::Json) {
      return std::string(kBuiltinModelJson);
    } else {
      Arena arena;
      Tape tape;
      if (!codec::read_json(kBuiltinModelJson, arena, tape)) broken("built-in metadata does not parse");
      return transcode_to_msgpack(tape);
    }
  }();
  return doc;
}

//! Everything observable about one compile, for comparing two runs.
struct Outcome {
  bool ok = false;
  bool fault = false;
  std::string text;  //!< the statement, or the rendered error
  std::string operation;
  std::string params;  //!< bound values as JSON, one per line
  std::string labels;  //!< one per line
  bool operator==(const Outcome&) const = default;
};

bool fault_allowed(const ModelMetadata& metadata, const QuerySetIR& ir, std::string_view dialect) {
  // The one specified internal fault: the SQL Server rank joins on a key
  // position that nothing validates.
  return dialect == "mssql" && ir.text_rank_by && ir.order_by.empty() && !ir.vector_order_by &&
         metadata.effective_pk_fields()[0] >= metadata.fields.size();
}

void check_success(const DispatchedQuery& result, const QuerySetIR& ir, Dialect dialect, Outcome& out) {
  const CompiledQuery& q = result.query;
  const std::size_t n = q.bound_params.size();
  check(n == q.param_type_summary.size(), "bound_params and param_type_summary differ in length", q.sql_text);
  check(q.fingerprint == fnv1a_hex(q.sql_text), "fingerprint is not FNV-1a of sql_text", q.sql_text);
  check(valid_utf8(q.sql_text), "sql_text is not UTF-8", q.sql_text);
  check(result.operation == operation_name(operation_kind(ir.operation)), "operation name", result.operation);
  const std::string bad = scan_statement(dialect, q.sql_text, n);
  check(bad.empty(), bad, q.sql_text);

  out.ok = true;
  out.text = q.sql_text;
  out.operation = std::string(result.operation);
  Arena arena;
  Tape tape;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t start = out.params.size();
    codec::write_bind_json(out.params, q.bound_params[i]);
    const std::string_view json = std::string_view(out.params).substr(start);
    check(codec::read_json(json, arena, tape).has_value(), "a bound value writes invalid JSON", json);
    check(!tape.empty() && tape[0].kind == TapeKind::Map, "a bound value is not a JSON object", json);
    out.params.push_back('\n');
    const std::string label = q.param_type_summary[i].render();
    check(valid_utf8(label), "label is not UTF-8", label);
    out.labels += label;
    out.labels.push_back('\n');
  }
  std::string blob;
  codec::write_bind_list_msgpack(blob, q.bound_params);
  check(codec::read_msgpack(blob, tape).has_value(), "bound_params MessagePack does not read back");
  check(!tape.empty() && tape[0].kind == TapeKind::Array && tape[0].size == n && tape_well_formed(tape),
        "bound_params MessagePack is not an array of n values");
}

Outcome compile_one(const ModelMetadata& metadata, const QuerySetIR& ir, std::string_view dialect_name) {
  Outcome out;
  try {
    auto result = dispatch_compile(metadata, ir, dialect_name);
    if (result) {
      check_success(*result, ir, *Dialect::parse(dialect_name), out);
    } else {
      out.text = result.error().render();
      check(valid_utf8(out.text), "error text is not UTF-8", out.text);
      check(!out.text.empty(), "empty error text");
    }
  } catch (const InternalFault& fault) {
    check(fault_allowed(metadata, ir, dialect_name), "internal fault outside the SQL Server rank key", fault.what());
    out.fault = true;
  }
  return out;
}

struct Decoded {
  bool ok = false;
  std::vector<Outcome> outcomes;
};

Decoded run(codec::Format format, std::string_view metadata_doc, std::string_view ir_doc) {
  Decoded d;
  Arena arena;
  Tape scratch;
  auto metadata = codec::decode_metadata(format, metadata_doc, arena, scratch);
  if (!metadata) {
    check(valid_utf8(metadata.error()) && !metadata.error().empty(), "metadata error text", metadata.error());
    return d;
  }
  auto ir = codec::decode_ir(format, ir_doc, arena, scratch);
  if (!ir) {
    check(valid_utf8(ir.error()) && !ir.error().empty(), "IR error text", ir.error());
    return d;
  }
  d.ok = true;
  for (std::string_view dialect : kDialects) d.outcomes.push_back(compile_one(*metadata, *ir, dialect));
  // Names are folded for ASCII only; a dialect the parser refuses must fail cleanly.
  Outcome folded = compile_one(*metadata, *ir, "PostgreSQL");
  check(folded == d.outcomes[0], "dialect name case folding changes the result");
  Outcome unknown = compile_one(*metadata, *ir, std::string_view("oracle\0x", 8));
  check(!unknown.ok && !unknown.fault, "unknown dialect accepted");
  return d;
}
}  // namespace
}  // namespace sarnic::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace sarnic::fuzz;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const Documents docs = SARNIC_FUZZ_MSGPACK ? split_msgpack(input, builtin_metadata())
                                             : split_json(input, builtin_metadata());
  const Exact metadata(docs.metadata), ir(docs.body);
  const Decoded decoded = run(kFormat, metadata.view(), ir.view());

  if constexpr (!SARNIC_FUZZ_MSGPACK) {
    const std::string mp_metadata = json_as_msgpack(metadata.view()), mp_ir = json_as_msgpack(ir.view());
    if (!mp_metadata.empty() && !mp_ir.empty()) {
      const Exact m(mp_metadata), i(mp_ir);
      const Decoded again = run(sarnic::codec::Format::MessagePack, m.view(), i.view());
      // MessagePack may also name a variant by its position (`"kind": 3`), so
      // it may accept what JSON refuses, never the other way round.
      if (decoded.ok) {
        check(again.ok, "MessagePack refuses what JSON decodes");
        check(again.outcomes == decoded.outcomes, "JSON and MessagePack compile differently",
              decoded.outcomes.empty() ? "" : decoded.outcomes[0].text);
      }
    }
  }
  return 0;
}
