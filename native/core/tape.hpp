#pragma once
// A decoded document as one flat vector of events, produced by the JSON and
// MessagePack readers and walked by the typed decoder and the hydrator.
// Containers record their element count and the index just past their last
// event, so skipping a value is one jump.
#include <cstdint>
#include <string_view>
#include <vector>

namespace sarnic {

enum class TapeKind : std::uint8_t {
  Null,
  False,
  True,
  UInt,       //!< non-negative integer (u)
  Int,        //!< negative integer (i)
  Double,     //!< d
  String,     //!< str/size: UTF-8 text (validated by the reader)
  Binary,     //!< str/size: MessagePack bin
  Extension,  //!< str/size: MessagePack ext payload; the ext type is the byte str[-1]
  Array,      //!< size = element count; end = index past the last element event
  Map,        //!< size = entry count; keys and values alternate; end as for Array
};

struct TapeEvent {
  union {
    std::uint64_t u;
    std::int64_t i;
    double d;
    const char* str;
  };
  std::uint32_t offset;  //!< byte offset of the value in the input, for error positions (inputs stay below 4 GiB)
  std::uint32_t size;    //!< string length, or container element count
  std::uint32_t end;     //!< containers: index past the container; scalars: own index + 1
  TapeKind kind;

  std::string_view text() const { return {str, size}; }
  bool is_container() const { return kind == TapeKind::Array || kind == TapeKind::Map; }
};

// A large document is tens of millions of events: every byte counts in memory
// and in the bandwidth of each pass over the tape.
static_assert(sizeof(TapeEvent) == 24);

using Tape = std::vector<TapeEvent>;

//! Appends an event for a value at `offset` (inputs stay below 4 GiB); the
//! reader fills in its payload, and a container's end once it closes.
inline TapeEvent& push_event(Tape& tape, TapeKind kind, std::uint64_t offset) {
  const auto index = static_cast<std::uint32_t>(tape.size());
  TapeEvent& e = tape.emplace_back();
  e.offset = static_cast<std::uint32_t>(offset);
  e.end = index + 1;
  e.kind = kind;
  return e;
}

}  // namespace sarnic
