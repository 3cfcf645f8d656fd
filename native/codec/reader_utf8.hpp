#pragma once
// UTF-8 validation for the readers. Well-formed means RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace sarnic::codec::detail {

struct Utf8Check {
  std::size_t valid_up_to = 0;  //!< bytes before the first bad sequence
  std::uint8_t error_len = 0;   //!< bytes of the bad sequence; 0 when the text ends inside one
  bool ok = true;
};

inline bool utf8_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

[[gnu::noinline]] inline Utf8Check check_utf8_from(const unsigned char* p, std::size_t n, std::size_t i) {
  auto bad = [&](std::uint8_t len) { return Utf8Check{i, len, false}; };
  while (i < n) {
    unsigned char first = p[i];
    if (first < 0x80) {
      ++i;
      continue;
    }
    std::size_t width = first >= 0xC2 && first <= 0xDF ? 2 : first >= 0xE0 && first <= 0xEF ? 3
                                                          : first >= 0xF0 && first <= 0xF4 ? 4
                                                                                           : 0;
    if (width == 0) return bad(1);
    if (i + 1 >= n) return bad(0);
    unsigned char second = p[i + 1];
    bool second_ok = false;
    if (width == 2) {
      second_ok = utf8_continuation(second);
    } else if (width == 3) {
      second_ok = first == 0xE0   ? second >= 0xA0 && second <= 0xBF
                  : first == 0xED ? second >= 0x80 && second <= 0x9F
                                  : utf8_continuation(second);
    } else {
      second_ok = first == 0xF0   ? second >= 0x90 && second <= 0xBF
                  : first == 0xF4 ? second >= 0x80 && second <= 0x8F
                                  : utf8_continuation(second);
    }
    if (!second_ok) return bad(1);
    for (std::size_t k = 2; k < width; ++k) {
      if (i + k >= n) return bad(0);
      if (!utf8_continuation(p[i + k])) return bad(static_cast<std::uint8_t>(k));
    }
    i += width;
  }
  return {};
}

//! ASCII runs are checked eight bytes at a time; the rest byte by byte.
inline Utf8Check check_utf8(const char* data, std::size_t n) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  std::uint64_t word = 0;
  if (n < 8) {
    // Most strings are short keys: a few loads instead of a branch a byte.
    std::uint32_t w4 = 0;
    std::uint16_t w2 = 0;
    std::size_t i = 0;
    if (n & 4) {
      std::memcpy(&w4, p, 4);
      i = 4;
    }
    if (n & 2) {
      std::memcpy(&w2, p + i, 2);
      i += 2;
    }
    word = w4 | w2 | (n & 1 ? p[i] : 0u);
    return word & kHigh ? check_utf8_from(p, n, 0) : Utf8Check{};
  }
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::memcpy(&word, p + i, 8);
    if (word & kHigh) return check_utf8_from(p, n, i);
  }
  // The last, partial word: the final eight bytes, overlapping ones already seen.
  std::memcpy(&word, p + n - 8, 8);
  return word & kHigh ? check_utf8_from(p, n, i) : Utf8Check{};
}

//! "invalid utf-8 sequence of 1 bytes from index 3" / "incomplete utf-8 byte sequence from index 3".
[[gnu::cold]] inline std::string describe_utf8_error(const Utf8Check& check) {
  if (check.error_len == 0) return "incomplete utf-8 byte sequence from index " + std::to_string(check.valid_up_to);
  return "invalid utf-8 sequence of " + std::to_string(check.error_len) + " bytes from index " +
         std::to_string(check.valid_up_to);
}

}  // namespace sarnic::codec::detail
