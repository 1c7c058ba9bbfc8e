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

// A stream that appends what is written to it to *out. Memory for it comes
// from the C++ allocator: when it runs out, the write fails (and *failed
// is set) instead of ending the process as GLib's allocator would.
GObjectPtr<GMimeStream> NewStringStream(std::string* out, bool* failed);

// A read-only stream over size bytes at data, read in place: nothing is
// copied, and the bytes must outlive every user of the stream. Call
// ReleaseBorrowedStream when done, after every object using it is gone.
struct BorrowedStream {
  GObjectPtr<GMimeStream> stream;
  GByteArray* array = nullptr;
};
BorrowedStream NewBorrowedStream(const char* data, size_t size);
void ReleaseBorrowedStream(BorrowedStream& borrowed);

}  // namespace velcmc

#endif
