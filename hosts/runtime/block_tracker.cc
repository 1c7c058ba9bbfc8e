#include "block_tracker.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velsrv::internal {
namespace {

// malloc(0) may return null; every block gets at least one byte.
size_t BytesFor(int32_t size) { return size == 0 ? 1 : static_cast<size_t>(size); }

}  // namespace

void* BlockTracker::Allocate(int32_t size) {
  if (size < 0) return nullptr;
  void* block = std::malloc(BytesFor(size));
  if (block == nullptr) return nullptr;
  std::memset(block, kFreshByte, BytesFor(size));
  std::lock_guard lock(mu_);
  blocks_[block] = static_cast<size_t>(size);
  bytes_ += size;
  peak_ = std::max(peak_, bytes_);
  return block;
}

void* BlockTracker::Reallocate(void* block, int32_t size) {
  if (block == nullptr) return Allocate(size);
  if (size < 0) return nullptr;
  std::lock_guard lock(mu_);
  auto it = blocks_.find(block);
  if (it == blocks_.end()) {
    std::fprintf(stderr,
                 "velsrv: srv_realloc of %p, which srv_alloc did not hand out (freed already?)\n",
                 block);
    return nullptr;
  }
  const size_t old_size = it->second;
  void* moved = std::realloc(block, BytesFor(size));
  if (moved == nullptr) return nullptr;
  if (static_cast<size_t>(size) > old_size) {
    std::memset(static_cast<unsigned char*>(moved) + old_size, kFreshByte, size - old_size);
  }
  blocks_.erase(it);
  blocks_[moved] = static_cast<size_t>(size);
  bytes_ += static_cast<int64_t>(size) - static_cast<int64_t>(old_size);
  peak_ = std::max(peak_, bytes_);
  return moved;
}

bool BlockTracker::Free(void* block) {
  if (block == nullptr) return false;
  {
    std::lock_guard lock(mu_);
    auto it = blocks_.find(block);
    if (it != blocks_.end()) {
      bytes_ -= static_cast<int64_t>(it->second);
      blocks_.erase(it);
      std::free(block);
      return true;
    }
  }
  std::fprintf(stderr, "velsrv: srv_free of %p, which srv_alloc did not hand out (freed twice?)\n",
               block);
  return false;
}

bool BlockTracker::FitsInBlock(const void* block, int32_t size) const {
  std::lock_guard lock(mu_);
  auto it = blocks_.find(const_cast<void*>(block));
  if (it == blocks_.end() || static_cast<size_t>(size) <= it->second) return true;
  std::fprintf(stderr, "velsrv: srv_bzero of %d bytes over the %zu-byte block %p\n", size,
               it->second, block);
  return false;
}

int64_t BlockTracker::peak_bytes() const {
  std::lock_guard lock(mu_);
  return peak_;
}

void BlockTracker::ResetPeak() {
  std::lock_guard lock(mu_);
  peak_ = bytes_;
}

int64_t BlockTracker::outstanding() const {
  std::lock_guard lock(mu_);
  return static_cast<int64_t>(blocks_.size());
}

}  // namespace velsrv::internal
