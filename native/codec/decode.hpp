#pragma once
// Typed decoding of the records from either format. One decoder walks the tape
// for both formats, so record-level messages are worded identically; JSON
// messages end with " at line L column C".
//
// Lifetimes: the records view the arena (JSON, and anything the decoder had to
// build) and, for MessagePack, the input bytes. Keep both alive while the
// records are used.
#include <expected>
#include <string>
#include <string_view>

#include "codec/format.hpp"
#include "core/arena.hpp"
#include "core/hydrate.hpp"
#include "core/ir.hpp"
#include "core/metadata.hpp"
#include "core/tape.hpp"

namespace sarnic::codec {

//! `scratch` is a reusable tape; its contents are replaced.
std::expected<ModelMetadata, std::string> decode_metadata(Format format, std::string_view input, Arena& arena,
                                                          Tape& scratch);
std::expected<QuerySetIR, std::string> decode_ir(Format format, std::string_view input, Arena& arena,
                                                 Tape& scratch);

//! A row batch: an array of maps with text keys. The batch views `tape`, which
//! must outlive it. MessagePack bin and ext values anywhere in a row fail.
std::expected<RowBatch, std::string> decode_rows(Format format, std::string_view input, Arena& arena, Tape& tape);

}  // namespace sarnic::codec
