#include "gmime_support.h"

#include <mutex>

#include "platform.h"

namespace velcmc {

void EnsureGMime() {
  // GMime registers types with GObject, which can never be unregistered:
  // were this module (and GMime with it) unloaded and loaded again, GMime
  // could not register them anew. So once GMime is in use, the module
  // stays mapped for the life of the process.
  static std::once_flag once;
  std::call_once(once, [] {
    vel::os::PinModuleOf(reinterpret_cast<const void*>(&EnsureGMime));
    g_mime_init();
  });
}

std::string StreamBytes(GMimeStream* memory_stream) {
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memory_stream));
  if (bytes == nullptr || bytes->len == 0) return {};
  return std::string(reinterpret_cast<const char*>(bytes->data), bytes->len);
}

}  // namespace velcmc
