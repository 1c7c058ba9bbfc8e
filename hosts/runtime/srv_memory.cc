// Memory: every block is tracked until it is freed.
#include <cstring>

#include "process_state.h"

using velsrv::internal::Injected;
using velsrv::internal::TheProcess;

VELSRV_C_EXPORT void* VEL_CDECL srv_alloc(int32_t size) {
  if (Injected("srv_alloc")) return nullptr;
  return TheProcess().blocks.Allocate(size);
}

VELSRV_C_EXPORT void* VEL_CDECL srv_realloc(void* block, int32_t size) {
  if (Injected("srv_realloc")) return nullptr;
  return TheProcess().blocks.Reallocate(block, size);
}

VELSRV_C_EXPORT int32_t VEL_CDECL srv_free(void* block) {
  if (Injected("srv_free")) return VEL_FAIL;
  return TheProcess().blocks.Free(block) ? VEL_SUCCEED : VEL_FAIL;
}

VELSRV_C_EXPORT int32_t VEL_CDECL srv_bzero(void* block, int32_t size) {
  if (Injected("srv_bzero")) return VEL_FAIL;
  if (block == nullptr || size < 0) return VEL_FAIL;
  if (!TheProcess().blocks.FitsInBlock(block, size)) return VEL_FAIL;
  std::memset(block, 0, static_cast<size_t>(size));
  return VEL_SUCCEED;
}
