// The blocks handed out by srv_alloc and srv_realloc, so that a test can
// prove that nothing leaked and that nothing is freed twice.
#ifndef VELSRV_BLOCK_TRACKER_H
#define VELSRV_BLOCK_TRACKER_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace velsrv::internal {

class BlockTracker {
 public:
  // Byte written over fresh memory, so that a user relying on zeroed
  // blocks shows up instead of passing by luck.
  static constexpr unsigned char kFreshByte = 0xCB;

  // Null for a negative size or when memory runs out.
  void* Allocate(int32_t size);
  // Null when the block is not one of ours (with a diagnostic), for a
  // negative size, or when memory runs out (the block is then untouched).
  void* Reallocate(void* block, int32_t size);
  // False, with a diagnostic, for a block that is not one of ours.
  bool Free(void* block);
  // False, with a diagnostic, when block is one of ours and shorter than
  // size. Other memory (the caller's own buffers) is not checked.
  bool FitsInBlock(const void* block, int32_t size) const;

  int64_t outstanding() const;
  // The most bytes held at once since the last ResetPeak.
  int64_t peak_bytes() const;
  void ResetPeak();

 private:
  mutable std::mutex mu_;
  std::unordered_map<void*, size_t> blocks_;  // block -> size asked for
  int64_t bytes_ = 0;                         // held now
  int64_t peak_ = 0;
};

}  // namespace velsrv::internal

#endif
