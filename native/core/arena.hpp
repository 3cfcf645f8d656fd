#pragma once
// Bump allocator for the records of one call. Records hold views and spans into
// the arena (and into the caller's input), so decoding allocates no per-value
// heap blocks and nothing needs a destructor.
#include <cstddef>
#include <cstring>
#include <memory_resource>
#include <new>
#include <span>
#include <string_view>
#include <type_traits>

namespace sarnic {

class Arena {
 public:
  Arena() : resource_(inline_, sizeof(inline_)) {}
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  void* allocate(std::size_t bytes, std::size_t align) {
    return resource_.allocate(bytes == 0 ? 1 : bytes, align);
  }

  //! n value-initialised objects; only for types that need no destructor.
  template <class T>
  std::span<T> alloc(std::size_t n) {
    static_assert(std::is_trivially_destructible_v<T>);
    if (n == 0) return {};
    T* p = static_cast<T*>(allocate(sizeof(T) * n, alignof(T)));
    for (std::size_t i = 0; i < n; ++i) new (p + i) T();
    return {p, n};
  }

  std::string_view copy(std::string_view s) {
    if (s.empty()) return {};
    char* p = static_cast<char*>(allocate(s.size(), 1));
    std::memcpy(p, s.data(), s.size());
    return {p, s.size()};
  }

 private:
  alignas(std::max_align_t) std::byte inline_[2048];
  std::pmr::monotonic_buffer_resource resource_;
};

}  // namespace sarnic
