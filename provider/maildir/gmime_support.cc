#include "gmime_support.h"

#include <mutex>

namespace velcmc {

void EnsureGMime() {
  // GMime counts its initialisations, so a provider module loaded again
  // after being unloaded may safely initialise it once more.
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

std::string StreamBytes(GMimeStream* memory_stream) {
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memory_stream));
  if (bytes == nullptr || bytes->len == 0) return {};
  return std::string(reinterpret_cast<const char*>(bytes->data), bytes->len);
}

}  // namespace velcmc
