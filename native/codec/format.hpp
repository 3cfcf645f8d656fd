#pragma once
#include <cstdint>

namespace sarnic::codec {

enum class Format : std::uint8_t { Json, MessagePack };

// Container nesting limits; the outermost container counts as depth 1.
inline constexpr unsigned kJsonMaxDepth = 127;
inline constexpr unsigned kMessagePackMaxDepth = 1023;

}  // namespace sarnic::codec
