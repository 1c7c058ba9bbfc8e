// The blocks handed out by srv_alloc and srv_realloc, so that a test can
// prove that nothing leaked and that nothing is freed twice.
#ifndef VELSRV_BLOCK_TRACKER_H
#define VELSRV_BLOCK_TRACKER_H

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "mutex.h"

namespace velsrv::internal {

// Blocks of kPagedFrom bytes or more are whole pages from the system
// rather than heap blocks: a large block then takes memory only as it is
// written, and gives it back to the system as soon as it is freed, so that
// a caller who fills one large block while it frees others (a query result
// laid out from its stored rows) holds about the larger of the two, not
// their sum.
class BlockTracker {
 public:
  // Byte written over fresh memory, so that a user relying on zeroed
  // blocks shows up instead of passing by luck: over all of a heap block's
  // fresh bytes, and over the first kPagedFill of a paged block's (the rest
  // is left unwritten, so that it takes no memory until the user writes
  // it).
  static constexpr unsigned char kFreshByte = 0xCB;
  static constexpr size_t kPagedFrom = size_t{128} << 10;
  static constexpr size_t kPagedFill = size_t{64} << 10;

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
  mutable vel::os::Mutex mu_;
  std::unordered_map<void*, size_t> blocks_ VEL_GUARDED_BY(mu_);  // block -> size asked for
  int64_t bytes_ VEL_GUARDED_BY(mu_) = 0;                         // held now
  int64_t peak_ VEL_GUARDED_BY(mu_) = 0;
};

}  // namespace velsrv::internal

#endif
