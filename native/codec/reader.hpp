#pragma once
// Readers turn one complete document into a tape. They know where a failure is
// (the byte offset); the typed decoder knows what was expected.
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "codec/format.hpp"
#include "core/arena.hpp"
#include "core/tape.hpp"

namespace sarnic::codec {

struct ReadError {
  std::string message;  //!< "EOF while parsing a value", "invalid MessagePack marker 0xc1", ...
  std::uint64_t offset = 0;
};

//! JSON text: copied into the arena and parsed in situ, so string events view
//! the arena copy. Exactly one value with whitespace around it; UTF-8 checked;
//! at most kJsonMaxDepth nested containers. `out` is cleared first.
std::expected<void, ReadError> read_json(std::string_view text, Arena& arena, Tape& out);

//! MessagePack bytes: string events view `bytes` itself, which must outlive the
//! tape. Exactly one value (trailing bytes fail); strings checked as UTF-8; at
//! most kMessagePackMaxDepth nested containers. `out` is cleared first.
std::expected<void, ReadError> read_msgpack(std::string_view bytes, Tape& out);

//! " at line L column C" for a byte offset into JSON text (1-based, columns in bytes).
std::string json_position_suffix(std::string_view text, std::uint64_t offset);

}  // namespace sarnic::codec
