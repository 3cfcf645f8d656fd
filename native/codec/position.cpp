// Line and column of a JSON error, computed only once an error is reported.
#include <algorithm>
#include <cstring>

#include "codec/reader.hpp"

namespace sarnic::codec {

std::string json_position_suffix(std::string_view text, std::uint64_t offset) {
  const char* begin = text.data();
  const char* end = begin + std::min<std::uint64_t>(offset, text.size());
  std::uint64_t line = 1;
  const char* line_start = begin;
  for (const char* p = begin; p < end && (p = static_cast<const char*>(std::memchr(p, '\n', end - p))); ++p) {
    ++line;
    line_start = p + 1;
  }
  std::uint64_t column = static_cast<std::uint64_t>(end - line_start) + 1;
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

}  // namespace sarnic::codec
