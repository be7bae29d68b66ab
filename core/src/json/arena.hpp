// Storage for the texts of one stage that are neither in the payload nor
// constant: strings whose escapes had to be resolved, and what an operation
// works out. Records decoded with an arena borrow from it and from the text
// they were read from, so both must outlive them; a stage keeps its arena on
// its stack and drops everything at once when it ends.
//
//   json::Arena arena;
//   auto decoded = json::decode<HttpResponse>(payload, arena);
//   // decoded.value().body views the payload, or the arena when it had escapes
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace quillon_bo_core::json {

class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // `size` bytes that stay where they are until the arena is destroyed.
  char* allocate(std::size_t size) {
    if (static_cast<std::size_t>(end_ - next_) < size) grow(size);
    char* block = next_;
    next_ += size;
    return block;
  }

  // Gives back the bytes of the latest allocation after its first `used`: a
  // writer that knows only a bound of what it writes asks for the bound.
  void trim(char* block, std::size_t used) { next_ = block + used; }

  // A copy of `text` that lives as long as the arena.
  std::string_view copy(std::string_view text) {
    char* block = allocate(text.size());
    if (!text.empty()) std::memcpy(block, text.data(), text.size());
    return {block, text.size()};
  }

  // The texts joined, as one.
  template <class... Texts>
  std::string_view join(const Texts&... texts) {
    const std::size_t size = (std::string_view(texts).size() + ...);
    char* const block = allocate(size);
    char* to = block;
    ((to = put(to, std::string_view(texts))), ...);
    return {block, size};
  }

 private:
  // Usual payloads fit in the arena itself; larger ones take blocks of their own.
  static constexpr std::size_t inline_size = 1024;
  static constexpr std::size_t block_size = 4096;

  static char* put(char* to, std::string_view text) {
    if (!text.empty()) std::memcpy(to, text.data(), text.size());
    return to + text.size();
  }

  void grow(std::size_t size) {
    const std::size_t n = std::max(size, block_size);
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(n));
    next_ = blocks_.back().get();
    end_ = next_ + n;
  }

  char inline_[inline_size];
  char* next_ = inline_;
  char* end_ = inline_ + inline_size;
  std::vector<std::unique_ptr<char[]>> blocks_;
};

}  // namespace quillon_bo_core::json
