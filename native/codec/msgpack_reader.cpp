// MessagePack bytes to tape through msgpack-cxx's visitor parser. String, bin
// and ext events view the caller's bytes.
#include <cstddef>
#include <cstdint>
// msgpack-cxx's headers expect the C integer types in the global namespace.
#include <msgpack/null_visitor.hpp>
#include <msgpack/unpack.hpp>

#include <algorithm>
#include <array>
#include <limits>

#include "codec/reader.hpp"
#include "codec/reader_utf8.hpp"

namespace sarnic::codec {
namespace {

enum class MsgpackFault : std::uint8_t {
  Truncated,
  TrailingBytes,
  ReservedMarker,
  RecursionLimit,
  InvalidUtf8,
  TooLarge,
};

constexpr std::array<std::string_view, 6> kMsgpackFaultText = {
    "unexpected end of MessagePack input",
    "trailing bytes after the MessagePack value",
    "invalid MessagePack marker 0xc1",
    "recursion limit exceeded",
    "string found to be invalid utf8: ",  // followed by the detail
    "input too large",
};
static_assert(kMsgpackFaultText.size() == static_cast<std::size_t>(MsgpackFault::TooLarge) + 1);

// Every event consumes at least one byte, so bounding the input keeps tape
// indices, sizes and msgpack-cxx's 32-bit lengths in range.
constexpr std::size_t kMaxInput = std::numeric_limits<std::uint32_t>::max() - 1;
// Rows and IR documents take four to eight bytes an event, so a quarter of the
// input is reserved up front: a large document then fills its tape without the
// copies (and the old and new buffers held at once) of a vector that doubles.
// Pages are touched only as events arrive; the cap bounds what a hostile input
// can ask of the address space (768 MiB).
constexpr std::size_t kMaxReserveEvents = std::size_t{1} << 25;

// Bytes a value occupies before any variable payload, by marker: the whole
// value for fixed-size kinds, the header for str/bin/containers, and for ext
// the header without the type byte (the parser counts that with the payload).
constexpr std::array<std::uint8_t, 256> kHeaderBytes = [] {
  std::array<std::uint8_t, 256> t{};
  for (auto& v : t) v = 1;
  const std::pair<int, std::uint8_t> sized[] = {
      {0xc4, 2}, {0xc5, 3}, {0xc6, 5}, {0xc7, 2}, {0xc8, 3}, {0xc9, 5}, {0xca, 5}, {0xcb, 9},
      {0xcc, 2}, {0xcd, 3}, {0xce, 5}, {0xcf, 9}, {0xd0, 2}, {0xd1, 3}, {0xd2, 5}, {0xd3, 9},
      {0xd9, 2}, {0xda, 3}, {0xdb, 5}, {0xdc, 3}, {0xdd, 5}, {0xde, 3}, {0xdf, 5},
  };
  for (auto [marker, bytes] : sized) t[marker] = bytes;
  return t;
}();

class TapeVisitor : public msgpack::null_visitor {
 public:
  TapeVisitor(Tape& tape, std::string_view bytes) : tape_(tape), bytes_(bytes) {}

  bool visit_nil() { return scalar(TapeKind::Null); }
  bool visit_boolean(bool v) { return scalar(v ? TapeKind::True : TapeKind::False); }
  bool visit_positive_integer(std::uint64_t v) {
    push(TapeKind::UInt, advance(0)).u = v;
    return true;
  }
  // Also called for the signed encodings, which may hold non-negative values.
  bool visit_negative_integer(std::int64_t v) {
    if (v >= 0) return visit_positive_integer(static_cast<std::uint64_t>(v));
    push(TapeKind::Int, advance(0)).i = v;
    return true;
  }
  bool visit_float32(float v) { return visit_float64(v); }
  bool visit_float64(double v) {
    push(TapeKind::Double, advance(0)).d = v;
    return true;
  }
  bool visit_str(const char* v, std::uint32_t size) {
    std::uint64_t offset = advance(size);
    detail::Utf8Check check = detail::check_utf8(v, size);
    if (!check.ok) return fail_utf8(check, offset);
    return text(TapeKind::String, offset, v, size);
  }
  bool visit_bin(const char* v, std::uint32_t size) { return text(TapeKind::Binary, advance(size), v, size); }
  // `size` counts the type byte in front of the payload; the event views the
  // payload, so the type stays readable as str[-1].
  bool visit_ext(const char* v, std::uint32_t size) { return text(TapeKind::Extension, advance(size), v + 1, size - 1); }
  bool start_array(std::uint32_t count) { return open(TapeKind::Array, count); }
  bool end_array() { return close(); }
  bool start_map(std::uint32_t count) { return open(TapeKind::Map, count); }
  bool end_map() { return close(); }
  void parse_error(std::size_t, std::size_t error_offset) { fail(MsgpackFault::ReservedMarker, error_offset); }
  void insufficient_bytes(std::size_t, std::size_t) { fail(MsgpackFault::Truncated, bytes_.size()); }

  bool failed() const { return fault_set_; }
  ReadError error() const;

 private:
  // Offset of the value starting at the cursor; moves the cursor past it.
  std::uint64_t advance(std::uint32_t payload) {
    std::uint64_t at = pos_;
    pos_ += kHeaderBytes[static_cast<unsigned char>(bytes_[at])] + std::uint64_t{payload};
    return at;
  }

  TapeEvent& push(TapeKind kind, std::uint64_t offset) { return push_event(tape_, kind, offset); }

  bool scalar(TapeKind kind) {
    push(kind, advance(0));
    return true;
  }

  bool text(TapeKind kind, std::uint64_t offset, const char* v, std::uint32_t size) {
    TapeEvent& e = push(kind, offset);
    e.str = v;
    e.size = size;
    return true;
  }

  // The count comes from the header and is not trusted: nothing is reserved
  // for it, the elements must actually arrive.
  bool open(TapeKind kind, std::uint32_t count) {
    if (depth_ == kMessagePackMaxDepth) return fail(MsgpackFault::RecursionLimit, pos_);
    open_[depth_++] = static_cast<std::uint32_t>(tape_.size());
    push(kind, advance(0)).size = count;
    return true;
  }

  bool close() {
    tape_[open_[--depth_]].end = static_cast<std::uint32_t>(tape_.size());
    return true;
  }

  [[gnu::cold]] bool fail(MsgpackFault fault, std::uint64_t offset) {
    if (!fault_set_) {
      fault_ = fault;
      fault_offset_ = offset;
      fault_set_ = true;
    }
    return false;
  }

  [[gnu::cold, gnu::noinline]] bool fail_utf8(const detail::Utf8Check& check, std::uint64_t offset) {
    utf8_detail_ = detail::describe_utf8_error(check);
    return fail(MsgpackFault::InvalidUtf8, offset);
  }

  Tape& tape_;
  std::string_view bytes_;
  std::uint64_t pos_ = 0;
  unsigned depth_ = 0;
  std::array<std::uint32_t, kMessagePackMaxDepth> open_;
  MsgpackFault fault_ = MsgpackFault::Truncated;
  std::uint64_t fault_offset_ = 0;
  bool fault_set_ = false;
  std::string utf8_detail_;
};

[[gnu::cold, gnu::noinline]] ReadError msgpack_error(MsgpackFault fault, std::uint64_t offset,
                                                     std::string_view detail = {}) {
  std::string message(kMsgpackFaultText[static_cast<std::size_t>(fault)]);
  message += detail;
  return ReadError{std::move(message), offset};
}

ReadError TapeVisitor::error() const { return msgpack_error(fault_, fault_offset_, utf8_detail_); }

}  // namespace

std::expected<void, ReadError> read_msgpack(std::string_view bytes, Tape& out) {
  out.clear();
  if (bytes.size() > kMaxInput) return std::unexpected(msgpack_error(MsgpackFault::TooLarge, 0));

  std::size_t guess = std::min(bytes.size() / 4 + 8, kMaxReserveEvents);
  if (out.capacity() < guess) out.reserve(guess);

  TapeVisitor visitor(out, bytes);
  std::size_t off = 0;
  bool parsed = msgpack::v2::parse(bytes.data(), bytes.size(), off, visitor);
  if (visitor.failed()) return std::unexpected(visitor.error());
  if (!parsed) return std::unexpected(msgpack_error(MsgpackFault::Truncated, bytes.size()));
  if (off != bytes.size()) return std::unexpected(msgpack_error(MsgpackFault::TrailingBytes, off));
  return {};
}

}  // namespace sarnic::codec
