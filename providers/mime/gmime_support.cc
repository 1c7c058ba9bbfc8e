#include "mime/gmime_support.h"

#include <mutex>
#include <new>

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

namespace {

struct StringStream {
  GMimeStream parent;
  std::string* out;
  bool* failed;
};
struct StringStreamClass {
  GMimeStreamClass parent_class;
};

G_DEFINE_TYPE(StringStream, velcmc_string_stream, GMIME_TYPE_STREAM)

ssize_t StringStreamWrite(GMimeStream* stream, const char* buffer, size_t length) {
  auto* self = reinterpret_cast<StringStream*>(stream);
  try {
    self->out->append(buffer, length);
  } catch (const std::bad_alloc&) {
    *self->failed = true;
    return -1;
  } catch (const std::length_error&) {
    *self->failed = true;
    return -1;
  }
  return static_cast<ssize_t>(length);
}

int StringStreamNothing(GMimeStream*) { return 0; }
gboolean StringStreamEos(GMimeStream*) { return TRUE; }

void velcmc_string_stream_class_init(StringStreamClass* klass) {
  GMimeStreamClass* stream = GMIME_STREAM_CLASS(klass);
  stream->write = StringStreamWrite;
  stream->flush = StringStreamNothing;
  stream->close = StringStreamNothing;
  stream->eos = StringStreamEos;
}

void velcmc_string_stream_init(StringStream* self) {
  self->out = nullptr;
  self->failed = nullptr;
}

}  // namespace

GObjectPtr<GMimeStream> NewStringStream(std::string* out, bool* failed) {
  EnsureGMime();
  auto* stream = static_cast<StringStream*>(g_object_new(velcmc_string_stream_get_type(), nullptr));
  stream->out = out;
  stream->failed = failed;
  *failed = false;
  g_mime_stream_construct(GMIME_STREAM(stream), 0, -1);
  return GObjectPtr<GMimeStream>(GMIME_STREAM(stream));
}

BorrowedStream NewBorrowedStream(const char* data, size_t size) {
  EnsureGMime();
  static const char kNothing[] = "";
  BorrowedStream out;
  // The array takes the bytes without copying them; it is only ever read,
  // and is let go of without freeing them.
  out.array = g_byte_array_new_take(
      reinterpret_cast<guint8*>(const_cast<char*>(data ? data : kNothing)), data ? size : 0);
  out.stream.reset(g_mime_stream_mem_new_with_byte_array(out.array));
  g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(out.stream.get()), FALSE);
  return out;
}

void ReleaseBorrowedStream(BorrowedStream& borrowed) {
  borrowed.stream.reset();
  if (borrowed.array) g_byte_array_free(borrowed.array, FALSE);
  borrowed.array = nullptr;
}

}  // namespace velcmc
