// The owner of a block from the server library's allocator, so that it is
// given back on every way out.
#ifndef VELMAIL_FRAME_BLOCKS_H
#define VELMAIL_FRAME_BLOCKS_H

#include <cstdint>

#include "velsrv.h"

// A block from srv_alloc, released with srv_free.
class sm_srvblock {
 public:
  sm_srvblock() = default;
  ~sm_srvblock() { Free(); }
  sm_srvblock(const sm_srvblock&) = delete;
  sm_srvblock& operator=(const sm_srvblock&) = delete;

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
  template <typename T>
  T* as() const {
    return static_cast<T*>(block_);
  }

 private:
  void* block_ = nullptr;
};

#endif
