// Entry points of the typed decoder: read the document onto a tape with the
// format's reader, then walk it once into records.
#include "codec/decode.hpp"

#include "codec/decode_records.hpp"
#include "codec/reader.hpp"
#include "core/internal_fault.hpp"

namespace sarnic::codec {

namespace detail {

//! The reader's message; for JSON with the position it stopped at.
[[gnu::cold, gnu::noinline]] std::string read_error_text(Format format, std::string_view input, ReadError error) {
  if (format == Format::Json) error.message += json_position_suffix(input, error.offset);
  return std::move(error.message);
}

std::expected<void, std::string> read_document(Format format, std::string_view input, Arena& arena, Tape& tape) {
  std::expected<void, ReadError> read =
      format == Format::Json ? read_json(input, arena, tape) : read_msgpack(input, tape);
  if (!read) return std::unexpected(read_error_text(format, input, std::move(read.error())));
  if (tape.empty()) internal_fault("reader produced an empty document");
  return {};
}

}  // namespace detail

namespace {

template <class Record, bool (*decode)(detail::Decoder&, std::uint32_t, Record&)>
std::expected<Record, std::string> decode_document(Format format, std::string_view input, Arena& arena, Tape& tape) {
  if (auto read = detail::read_document(format, input, arena, tape); !read) return std::unexpected(std::move(read.error()));
  detail::Decoder decoder(tape, arena, format);
  Record record{};
  if (!decode(decoder, 0, record)) return std::unexpected(decoder.take_error(input));
  return record;
}

}  // namespace

std::expected<ModelMetadata, std::string> decode_metadata(Format format, std::string_view input, Arena& arena,
                                                          Tape& scratch) {
  return decode_document<ModelMetadata, detail::decode_model>(format, input, arena, scratch);
}

std::expected<QuerySetIR, std::string> decode_ir(Format format, std::string_view input, Arena& arena, Tape& scratch) {
  return decode_document<QuerySetIR, detail::decode_query>(format, input, arena, scratch);
}

}  // namespace sarnic::codec
