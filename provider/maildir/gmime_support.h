// Owning pointers for GMime and GLib objects, and GMime's one-time set-up.
#ifndef VELCMC_GMIME_SUPPORT_H
#define VELCMC_GMIME_SUPPORT_H

#include <gmime/gmime.h>

#include <memory>
#include <string>

namespace velcmc {

// Initialises GMime once for the process; safe to call from any thread.
void EnsureGMime();

struct GObjectUnref {
  void operator()(void* object) const {
    if (object) g_object_unref(object);
  }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GFree {
  void operator()(void* memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<char, GFree>;

struct GDateTimeUnref {
  void operator()(GDateTime* time) const {
    if (time) g_date_time_unref(time);
  }
};
using GDateTimePtr = std::unique_ptr<GDateTime, GDateTimeUnref>;

// The bytes held by a memory stream.
std::string StreamBytes(GMimeStream* memory_stream);

}  // namespace velcmc

#endif
