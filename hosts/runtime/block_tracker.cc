#include "block_tracker.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace velsrv::internal {
namespace {

// malloc(0) may return null; every block gets at least one byte.
size_t BytesFor(size_t size) { return size == 0 ? 1 : size; }

bool Paged(size_t bytes) { return bytes >= BlockTracker::kPagedFrom; }

// A block of bytes from the heap or, when large, from the system's pages.
void* Obtain(size_t bytes) {
  return Paged(bytes) ? vel::os::AllocatePages(bytes) : std::malloc(bytes);
}

void GiveBack(void* block, size_t bytes) {
  if (Paged(bytes)) {
    vel::os::FreePages(block, bytes);
  } else {
    std::free(block);
  }
}

// Resizes a block of old_bytes to new_bytes, keeping what both hold. Null
// (the block untouched) when no memory is left.
void* Resize(void* block, size_t old_bytes, size_t new_bytes) {
  if (Paged(old_bytes) && Paged(new_bytes)) {
    return vel::os::ResizePages(block, old_bytes, new_bytes);
  }
  if (!Paged(old_bytes) && !Paged(new_bytes)) return std::realloc(block, new_bytes);
  void* moved = Obtain(new_bytes);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, block, std::min(old_bytes, new_bytes));
  GiveBack(block, old_bytes);
  return moved;
}

// Marks the fresh bytes [from, to) of a block of to bytes.
void FillFresh(void* block, size_t from, size_t to) {
  if (to <= from) return;
  const size_t n = Paged(to) ? std::min(to - from, BlockTracker::kPagedFill) : to - from;
  std::memset(static_cast<unsigned char*>(block) + from, BlockTracker::kFreshByte, n);
}

}  // namespace

void* BlockTracker::Allocate(int32_t size) {
  if (size < 0) return nullptr;
  const size_t bytes = BytesFor(static_cast<size_t>(size));
  void* block = Obtain(bytes);
  if (block == nullptr) return nullptr;
  FillFresh(block, 0, bytes);
  vel::os::MutexLock lock(mu_);
  blocks_[block] = static_cast<size_t>(size);
  bytes_ += size;
  peak_ = std::max(peak_, bytes_);
  return block;
}

void* BlockTracker::Reallocate(void* block, int32_t size) {
  if (block == nullptr) return Allocate(size);
  if (size < 0) return nullptr;
  vel::os::MutexLock lock(mu_);
  auto it = blocks_.find(block);
  if (it == blocks_.end()) {
    std::fprintf(stderr,
                 "velsrv: srv_realloc of %p, which srv_alloc did not hand out (freed already?)\n",
                 block);
    return nullptr;
  }
  const size_t old_size = it->second;
  void* moved = Resize(block, BytesFor(old_size), BytesFor(static_cast<size_t>(size)));
  if (moved == nullptr) return nullptr;
  FillFresh(moved, old_size, static_cast<size_t>(size));
  blocks_.erase(it);
  blocks_[moved] = static_cast<size_t>(size);
  bytes_ += static_cast<int64_t>(size) - static_cast<int64_t>(old_size);
  peak_ = std::max(peak_, bytes_);
  return moved;
}

bool BlockTracker::Free(void* block) {
  if (block == nullptr) return false;
  {
    vel::os::MutexLock lock(mu_);
    auto it = blocks_.find(block);
    if (it != blocks_.end()) {
      bytes_ -= static_cast<int64_t>(it->second);
      GiveBack(block, BytesFor(it->second));
      blocks_.erase(it);
      return true;
    }
  }
  std::fprintf(stderr, "velsrv: srv_free of %p, which srv_alloc did not hand out (freed twice?)\n",
               block);
  return false;
}

bool BlockTracker::FitsInBlock(const void* block, int32_t size) const {
  vel::os::MutexLock lock(mu_);
  auto it = blocks_.find(const_cast<void*>(block));
  if (it == blocks_.end() || static_cast<size_t>(size) <= it->second) return true;
  std::fprintf(stderr, "velsrv: srv_bzero of %d bytes over the %zu-byte block %p\n", size,
               it->second, block);
  return false;
}

int64_t BlockTracker::peak_bytes() const {
  vel::os::MutexLock lock(mu_);
  return peak_;
}

void BlockTracker::ResetPeak() {
  vel::os::MutexLock lock(mu_);
  peak_ = bytes_;
}

int64_t BlockTracker::outstanding() const {
  vel::os::MutexLock lock(mu_);
  return static_cast<int64_t>(blocks_.size());
}

}  // namespace velsrv::internal
