// How a provider hands out what a call returns: one zeroed block from
// malloc holding the records and every string they point to, so that
// cmc_free releases it whole. A caller counts the sizes of what it will
// carve with the functions below, then carves the block front to back.
#ifndef VEL_PROVIDER_CMC_BLOCK_H
#define VEL_PROVIDER_CMC_BLOCK_H

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "cmc.h"

namespace cmcblock {

constexpr size_t kAlign = alignof(std::max_align_t);

constexpr size_t Rounded(size_t bytes) { return (bytes + kAlign - 1) / kAlign * kAlign; }

inline size_t StringSize(std::string_view text) { return Rounded(text.size() + 1); }

inline size_t ReferenceSize(std::string_view bytes) {
  // The record's declared size already holds one byte of the string.
  return Rounded(sizeof(CMC_message_reference) + bytes.size());
}

template <class T>
size_t ArraySize(size_t count) {
  return Rounded(sizeof(T) * count);
}

class Block {
 public:
  explicit Block(size_t capacity)
      : base_(static_cast<char*>(std::calloc(1, capacity ? capacity : 1))), capacity_(capacity) {
    if (!base_) throw std::bad_alloc();
  }
  ~Block() { std::free(base_); }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;

  template <class T>
  T* Array(size_t count) {
    return reinterpret_cast<T*>(Take(ArraySize<T>(count)));
  }
  char* String(std::string_view text) {
    char* out = Take(StringSize(text));
    std::memcpy(out, text.data(), text.size());
    return out;
  }
  CMC_message_reference* Reference(std::string_view bytes) {
    auto* ref = reinterpret_cast<CMC_message_reference*>(Take(ReferenceSize(bytes)));
    ref->length = static_cast<CMC_uint32>(bytes.size());
    std::memcpy(ref->string, bytes.data(), bytes.size());
    return ref;
  }
  // Hands the block out; whoever takes it frees it with std::free.
  template <class T = void>
  T* Release() {
    char* out = base_;
    base_ = nullptr;
    return reinterpret_cast<T*>(out);
  }

 private:
  char* Take(size_t bytes) {
    if (used_ + bytes > capacity_) std::abort();  // sizing and carving disagree: a bug
    char* out = base_ + used_;
    used_ += bytes;
    return out;
  }
  char* base_;
  size_t capacity_;
  size_t used_ = 0;
};

}  // namespace cmcblock

#endif
