// JSON text to tape: RapidJSON's SAX reader over an arena copy parsed in situ,
// so string events view the copy and no per-value allocation happens.

// SSE2 is part of x86-64: RapidJSON then skips whitespace and scans strings 16
// bytes at a time. Its aligned loads may read up to 15 bytes past the NUL that
// ends the text, so the arena copy is padded to a whole 16-byte block.
#if defined(__SSE2__) && !defined(RAPIDJSON_SSE2)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>

#include "codec/reader.hpp"
#include "codec/reader_utf8.hpp"

namespace sarnic::codec {
namespace {

enum class JsonFault : std::uint8_t {
  Eof,
  ExpectedObjectCommaOrEnd,
  ExpectedArrayCommaOrEnd,
  ExpectedColon,
  KeyMustBeString,
  ExpectedValue,
  TrailingCharacters,
  InvalidEscape,
  InvalidCodePoint,
  InvalidNumber,
  NumberOutOfRange,
  ControlCharacter,
  InvalidUtf8,
  RecursionLimit,
  TooLarge,
};

constexpr std::array<std::string_view, 15> kJsonFaultText = {
    "EOF while parsing a value",
    "expected `,` or `}`",
    "expected `,` or `]`",
    "expected `:`",
    "key must be a string",
    "expected value",
    "trailing characters",
    "invalid escape",
    "invalid unicode code point",
    "invalid number",
    "number out of range",
    "control character in string",
    "invalid UTF-8",
    "recursion limit exceeded",
    "input too large",
};
static_assert(kJsonFaultText.size() == static_cast<std::size_t>(JsonFault::TooLarge) + 1);

// RapidJSON reads until a NUL. A truncated multi-byte sequence at the very end
// makes its UTF-8 validation take up to three bytes past that NUL, so the copy
// carries this many NULs after the text.
constexpr std::size_t kTerminatorPadding = 4;
constexpr std::size_t kBlock = 16;

// Offsets, sizes and tape indices are 32-bit where the tape and RapidJSON need
// them; every event consumes at least one input byte, so bounding the input
// bounds the tape.
constexpr std::size_t kMaxInput = std::numeric_limits<std::uint32_t>::max() - 1;

// Every event but the first follows its own ',', ':', '[' or '{', so counting
// those characters (strings included) bounds the tape. Reserving the bound
// once means a large document is never copied into a grown tape, and a huge
// string reserves nothing for its length.
std::size_t max_events(std::string_view text) {
  std::size_t n = 1;
  for (char c : text) n += (c == ',') | (c == ':') | (c == '[') | (c == '{');
  return n;
}

// Whether a JSON number's magnitude is below one, from its text alone: the
// decimal exponent of its first significant digit is negative. Only asked of
// numbers out of a double's range, so "0.1e400" (1e399) is not below one and
// "1000e-400" is.
bool below_one(const char* s, const char* end) {
  const char* p = s + (*s == '-');
  std::int64_t magnitude = 0;  // decimal exponent of the first nonzero digit
  bool found = false, fraction = false;
  for (; p != end && *p != 'e' && *p != 'E'; ++p) {
    if (*p == '.') {
      fraction = true;
    } else if (!found) {
      if (*p != '0') {
        found = true;
        magnitude = fraction ? magnitude - 1 : 0;
      } else if (fraction) {
        --magnitude;
      }
    } else if (!fraction) {
      ++magnitude;
    }
  }
  if (!found) return true;  // all zeros
  if (p != end) {
    ++p;
    const bool negative = *p == '-';
    p += (*p == '-' || *p == '+');
    std::int64_t exponent = 0;  // saturates: beyond any double either way
    for (; p != end; ++p) exponent = std::min<std::int64_t>(exponent * 10 + (*p - '0'), 1'000'000'000);
    magnitude += negative ? -exponent : exponent;
  }
  return magnitude < 0;
}

// The recursive parser: its nesting is bounded by the handler (kJsonMaxDepth),
// and it takes a tenth fewer instructions than the iterative state machine.
constexpr unsigned kParseFlags = rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag;
// RapidJSON validates UTF-8 one character at a time and then cannot use SIMD
// for strings; it does so only for text that failed the fast check up front,
// so that the first fault in document order is still the one reported.
constexpr unsigned kValidatingParseFlags = kParseFlags | rapidjson::kParseValidateEncodingFlag;

// A lone low surrogate escape (\udc00) passes RapidJSON and comes out as the
// bytes ED B0..BF; raw input never does (its encoding is validated). Strings
// are searched for them only when the text holds such an escape at all.
bool may_hold_low_surrogate_escape(std::string_view text) {
  for (std::size_t i = text.find('\\'); i != std::string_view::npos; i = text.find('\\', i + 1)) {
    if (i + 3 < text.size() && text[i + 1] == 'u' && (text[i + 2] | 0x20) == 'd') {
      char c = static_cast<char>(text[i + 3] | 0x20);
      if (c >= 'c' && c <= 'f') return true;
    }
  }
  return false;
}

bool has_surrogate_bytes(const char* s, std::size_t n) {
  for (std::size_t i = 0; i + 1 < n; ++i) {
    if (s[i] == '\xED' && static_cast<unsigned char>(s[i + 1]) >= 0xA0) return true;
  }
  return false;
}

class TapeBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, TapeBuilder> {
 public:
  TapeBuilder(Tape& tape, const char* base, rapidjson::InsituStringStream& stream, bool check_surrogates)
      : tape_(tape), base_(base), stream_(stream), check_surrogates_(check_surrogates) {}

  bool Null() { return scalar(TapeKind::Null, tell() - 4); }
  bool Bool(bool b) { return b ? scalar(TapeKind::True, tell() - 4) : scalar(TapeKind::False, tell() - 5); }
  // Numbers arrive as their text and are converted here: RapidJSON's own
  // full-precision conversion gives wrong values for texts such as 0e308
  // (-6e-269) and runs into undefined behaviour on them.
  bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
    const auto offset = static_cast<std::uint64_t>(s - base_);
    const char* end = s + n;
    if (std::none_of(s, end, [](char c) { return c == '.' || c == 'e' || c == 'E'; })) {
      std::uint64_t u = 0;
      std::int64_t i = 0;
      if (*s != '-' && std::from_chars(s, end, u).ec == std::errc()) return unsigned_integer(u, offset);
      if (*s == '-' && std::from_chars(s, end, i).ec == std::errc()) return integer(i, offset);
    }
    double d = 0;
    const std::errc ec = std::from_chars(s, end, d).ec;
    if (ec == std::errc::result_out_of_range) {
      // Too small a magnitude rounds to zero; too large is an error.
      if (!below_one(s, end)) return fail(JsonFault::NumberOutOfRange, offset);
      d = *s == '-' ? -0.0 : 0.0;
    } else if (ec != std::errc()) {
      return fail(JsonFault::InvalidNumber, offset);
    }
    push(TapeKind::Double, offset).d = d;
    return true;
  }
  bool String(const char* s, rapidjson::SizeType n, bool) { return text(s, n); }
  bool Key(const char* s, rapidjson::SizeType n, bool) { return text(s, n); }
  // Called once the bracket is consumed: it stands just before tell().
  bool StartObject() { return open(TapeKind::Map); }
  bool StartArray() { return open(TapeKind::Array); }
  bool EndObject(rapidjson::SizeType members) { return close(members); }
  bool EndArray(rapidjson::SizeType elements) { return close(elements); }

  bool failed() const { return fault_set_; }
  JsonFault fault() const { return fault_; }
  std::uint64_t fault_offset() const { return fault_offset_; }

 private:
  std::uint64_t tell() const { return stream_.Tell(); }

  TapeEvent& push(TapeKind kind, std::uint64_t offset) { return push_event(tape_, kind, offset); }

  bool scalar(TapeKind kind, std::uint64_t offset) {
    push(kind, offset);
    return true;
  }

  bool integer(std::int64_t v, std::uint64_t offset) {
    // "-0" arrives as 0 and is kept as the unsigned zero.
    if (v >= 0) return unsigned_integer(static_cast<std::uint64_t>(v), offset);
    push(TapeKind::Int, offset).i = v;
    return true;
  }

  bool unsigned_integer(std::uint64_t v, std::uint64_t offset) {
    push(TapeKind::UInt, offset).u = v;
    return true;
  }

  // In situ, the decoded text starts right after the opening quote.
  bool text(const char* s, rapidjson::SizeType n) {
    auto start = static_cast<std::uint64_t>(s - base_) - 1;
    if (check_surrogates_ && has_surrogate_bytes(s, n)) return fail(JsonFault::InvalidCodePoint, start);
    TapeEvent& e = push(TapeKind::String, start);
    e.str = s;
    e.size = n;
    return true;
  }

  bool open(TapeKind kind) {
    const std::uint64_t bracket = tell() - 1;
    if (depth_ == kJsonMaxDepth) return fail(JsonFault::RecursionLimit, bracket);
    open_[depth_++] = static_cast<std::uint32_t>(tape_.size());
    push(kind, bracket);
    return true;
  }

  bool close(rapidjson::SizeType count) {
    TapeEvent& e = tape_[open_[--depth_]];
    e.size = count;
    e.end = static_cast<std::uint32_t>(tape_.size());
    return true;
  }

  [[gnu::cold]] bool fail(JsonFault fault, std::uint64_t offset) {
    fault_ = fault;
    fault_offset_ = offset;
    fault_set_ = true;
    return false;
  }

  Tape& tape_;
  const char* base_;
  rapidjson::InsituStringStream& stream_;
  bool check_surrogates_;
  unsigned depth_ = 0;
  std::array<std::uint32_t, kJsonMaxDepth> open_;
  JsonFault fault_ = JsonFault::Eof;
  std::uint64_t fault_offset_ = 0;
  bool fault_set_ = false;
};

[[gnu::cold, gnu::noinline]] ReadError json_error(JsonFault fault, std::uint64_t offset) {
  return ReadError{std::string(kJsonFaultText[static_cast<std::size_t>(fault)]), offset};
}

// `stopped` is where the stream stood when parsing ended: a syntax error there
// with no input left is an early end, whatever RapidJSON expected next.
[[gnu::cold, gnu::noinline]] ReadError syntax_error(rapidjson::ParseErrorCode code, std::uint64_t offset,
                                                    std::uint64_t stopped, std::string_view text) {
  using namespace rapidjson;
  switch (code) {
    case kParseErrorStringInvalidEncoding: return json_error(JsonFault::InvalidUtf8, offset);
    case kParseErrorNumberTooBig: return json_error(JsonFault::NumberOutOfRange, offset);
    case kParseErrorStringUnicodeSurrogateInvalid: return json_error(JsonFault::InvalidCodePoint, offset);
    case kParseErrorDocumentRootNotSingular: return json_error(JsonFault::TrailingCharacters, offset);
    default: break;
  }
  if (stopped >= text.size()) return json_error(JsonFault::Eof, text.size());
  // The stream also stops at a NUL inside the text: that is a stray character.
  switch (code) {
    case kParseErrorObjectMissName: return json_error(JsonFault::KeyMustBeString, offset);
    case kParseErrorObjectMissColon: return json_error(JsonFault::ExpectedColon, offset);
    case kParseErrorObjectMissCommaOrCurlyBracket: return json_error(JsonFault::ExpectedObjectCommaOrEnd, offset);
    case kParseErrorArrayMissCommaOrSquareBracket: return json_error(JsonFault::ExpectedArrayCommaOrEnd, offset);
    case kParseErrorStringUnicodeEscapeInvalidHex: return json_error(JsonFault::InvalidEscape, offset);
    case kParseErrorStringEscapeInvalid:
      // Also reported for a raw control character, at that character.
      return json_error(offset < text.size() && static_cast<unsigned char>(text[offset]) < 0x20
                            ? JsonFault::ControlCharacter
                            : JsonFault::InvalidEscape,
                        offset);
    case kParseErrorStringMissQuotationMark: return json_error(JsonFault::ControlCharacter, offset);
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent: return json_error(JsonFault::InvalidNumber, offset);
    default: return json_error(JsonFault::ExpectedValue, offset);
  }
}

}  // namespace

std::expected<void, ReadError> read_json(std::string_view text, Arena& arena, Tape& out) {
  out.clear();
  if (text.size() > kMaxInput) return std::unexpected(json_error(JsonFault::TooLarge, 0));

  const std::size_t padded = (text.size() + kTerminatorPadding + kBlock - 1) / kBlock * kBlock;
  auto* buffer = static_cast<char*>(arena.allocate(padded, kBlock));
  if (!text.empty()) std::memcpy(buffer, text.data(), text.size());
  std::memset(buffer + text.size(), 0, padded - text.size());

  if (std::size_t bound = max_events(text); out.capacity() < bound) out.reserve(bound);

  rapidjson::InsituStringStream stream(buffer);
  TapeBuilder builder(out, buffer, stream, may_hold_low_surrogate_escape(text));
  rapidjson::CrtAllocator stack_allocator;
  rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>> reader(&stack_allocator);
  rapidjson::ParseResult result = detail::check_utf8(text.data(), text.size()).ok
                                      ? reader.Parse<kParseFlags>(stream, builder)
                                      : reader.Parse<kValidatingParseFlags>(stream, builder);

  if (builder.failed()) return std::unexpected(json_error(builder.fault(), builder.fault_offset()));
  if (result.IsError()) {
    return std::unexpected(syntax_error(result.Code(), result.Offset(), stream.Tell(), text));
  }
  // RapidJSON stops at the first NUL; anything from there on is left over.
  if (stream.Tell() < text.size()) return std::unexpected(json_error(JsonFault::TrailingCharacters, stream.Tell()));
  return {};
}

}  // namespace sarnic::codec
