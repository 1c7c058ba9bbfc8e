// The owner of a block from the server library's allocator, so that it is
// given back on every way out.
#ifndef VELMAIL_FRAME_BLOCKS_H
#define VELMAIL_FRAME_BLOCKS_H

#include <cstdint>

#include "velsrv.h"

// A block from srv_alloc, released with srv_free. Every block the library
// takes from the server's allocator is held by one of these (or by sm_text,
// which grows its block): a block handed on to someone else leaves through
// release(), and one that comes back is taken over with Adopt.
class sm_srvblock {
 public:
  sm_srvblock() = default;
  ~sm_srvblock() { Free(); }
  sm_srvblock(const sm_srvblock&) = delete;
  sm_srvblock& operator=(const sm_srvblock&) = delete;
  sm_srvblock(sm_srvblock&& other) noexcept : block_(other.release()) {}
  sm_srvblock& operator=(sm_srvblock&& other) noexcept {
    if (this != &other) Adopt(this, other.release());
    return *this;
  }

  // Takes over a block from srv_alloc (or nullptr).
  static void Adopt(sm_srvblock* owner, void* block) {
    owner->Free();
    owner->block_ = block;
  }

  // Allocates size bytes; false (and no block) when the allocator fails.
  bool Allocate(int32_t size) {
    Free();
    block_ = srv_alloc(size);
    return block_ != nullptr;
  }
  void Free() {
    if (block_ != nullptr) srv_free(block_);
    block_ = nullptr;
  }
  void* get() const { return block_; }
  // Gives up the block without releasing it: its new owner releases it.
  void* release() {
    void* block = block_;
    block_ = nullptr;
    return block;
  }
  template <typename T>
  T* as() const {
    return static_cast<T*>(block_);
  }

 private:
  void* block_ = nullptr;
};

#endif
