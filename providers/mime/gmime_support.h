// Owning pointers for GMime and GLib objects, and GMime's one-time set-up.
#ifndef VELCMC_GMIME_SUPPORT_H
#define VELCMC_GMIME_SUPPORT_H

#include <gmime/gmime.h>

#include <memory>
#include <string>

#include "file_system.h"

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

// Streams over a file's descriptor whose every call goes through files
// (so a test that stands in for the file system reaches them too).
// Flushing one writes nothing out to disk: the caller knows when its file
// must be durable and syncs it then, once (GMime's own file stream syncs
// at every flush, several times per message).
//  - A reader reads from the start of the file, each read at the stream's
//    position, so that it can seek and be read again.
//  - A writer writes at the descriptor's position and does not seek; its
//    position counts the bytes written through it.
// With owns_fd, closing (or freeing) the stream closes the descriptor.
GObjectPtr<GMimeStream> NewFileReader(vel::os::FileSystem& files, int fd, bool owns_fd);
GObjectPtr<GMimeStream> NewFileWriter(vel::os::FileSystem& files, int fd, bool owns_fd);

}  // namespace velcmc

#endif
