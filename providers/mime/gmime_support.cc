#include "mime/gmime_support.h"

#include <algorithm>
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

namespace {

struct FileStream {
  GMimeStream parent;
  vel::os::FileSystem* files;
  int fd;
  bool owns_fd;
  bool writer;
  bool eos;
};
struct FileStreamClass {
  GMimeStreamClass parent_class;
};

G_DEFINE_TYPE(FileStream, velcmc_file_stream, GMIME_TYPE_STREAM)

FileStream* AsFile(GMimeStream* stream) { return reinterpret_cast<FileStream*>(stream); }

ssize_t FileStreamRead(GMimeStream* stream, char* buffer, size_t length) {
  FileStream* self = AsFile(stream);
  if (self->writer || self->fd < 0) return -1;
  if (stream->bound_end != -1) {
    if (stream->position >= stream->bound_end) return -1;
    length = static_cast<size_t>(
        std::min<gint64>(stream->bound_end - stream->position, static_cast<gint64>(length)));
  }
  const int64_t got =
      self->files->ReadFileAt(self->fd, buffer, length, static_cast<uint64_t>(stream->position));
  if (got > 0) stream->position += got;
  if (got == 0) self->eos = true;
  return static_cast<ssize_t>(got);
}

ssize_t FileStreamWrite(GMimeStream* stream, const char* buffer, size_t length) {
  FileStream* self = AsFile(stream);
  if (!self->writer || self->fd < 0) return -1;
  if (!self->files->WriteFile(self->fd, buffer, length)) return -1;
  stream->position += static_cast<gint64>(length);
  return static_cast<ssize_t>(length);
}

int FileStreamFlush(GMimeStream* stream) { return AsFile(stream)->fd < 0 ? -1 : 0; }

int FileStreamClose(GMimeStream* stream) {
  FileStream* self = AsFile(stream);
  if (self->fd < 0) return 0;
  const bool closed = !self->owns_fd || self->files->CloseFile(self->fd);
  self->fd = -1;
  return closed ? 0 : -1;
}

gboolean FileStreamEos(GMimeStream* stream) {
  FileStream* self = AsFile(stream);
  if (self->fd < 0 || self->writer) return TRUE;
  if (stream->bound_end != -1 && stream->position >= stream->bound_end) return TRUE;
  return self->eos ? TRUE : FALSE;
}

int FileStreamReset(GMimeStream* stream) {
  FileStream* self = AsFile(stream);
  if (self->fd < 0 || self->writer) return -1;
  self->eos = false;
  return 0;
}

gint64 FileStreamLength(GMimeStream* stream) {
  FileStream* self = AsFile(stream);
  if (self->fd < 0 || self->writer) return -1;
  if (stream->bound_end != -1) return stream->bound_end - stream->bound_start;
  vel::os::FileInfo info;
  if (!self->files->StatFile(self->fd, &info)) return -1;
  return static_cast<gint64>(info.size) - stream->bound_start;
}

gint64 FileStreamSeek(GMimeStream* stream, gint64 offset, GMimeSeekWhence whence) {
  FileStream* self = AsFile(stream);
  if (self->fd < 0) return -1;
  if (self->writer) return whence == GMIME_STREAM_SEEK_CUR && offset == 0 ? stream->position : -1;
  gint64 real;
  switch (whence) {
    case GMIME_STREAM_SEEK_SET:
      real = offset;
      break;
    case GMIME_STREAM_SEEK_CUR:
      real = stream->position + offset;
      break;
    case GMIME_STREAM_SEEK_END: {
      const gint64 length = FileStreamLength(stream);
      if (length < 0) return -1;
      real = stream->bound_start + length + offset;
      break;
    }
    default:
      return -1;
  }
  if (stream->bound_end != -1) real = std::min(real, stream->bound_end);
  real = std::max(real, stream->bound_start);
  stream->position = real;
  self->eos = false;
  return real;
}

gint64 FileStreamTell(GMimeStream* stream) { return stream->position; }

GMimeStream* NewFileStream(vel::os::FileSystem& files, int fd, bool owns_fd, bool writer,
                           gint64 start, gint64 end) {
  EnsureGMime();
  auto* stream = static_cast<FileStream*>(g_object_new(velcmc_file_stream_get_type(), nullptr));
  stream->files = &files;
  stream->fd = fd;
  stream->owns_fd = owns_fd;
  stream->writer = writer;
  g_mime_stream_construct(GMIME_STREAM(stream), start, end);
  return GMIME_STREAM(stream);
}

GMimeStream* FileStreamSubstream(GMimeStream* stream, gint64 start, gint64 end) {
  FileStream* self = AsFile(stream);
  if (self->writer) return nullptr;
  // Shares the descriptor, which the stream it was cut from keeps.
  return NewFileStream(*self->files, self->fd, false, false, start, end);
}

void velcmc_file_stream_finalize(GObject* object) {
  FileStreamClose(GMIME_STREAM(object));
  G_OBJECT_CLASS(velcmc_file_stream_parent_class)->finalize(object);
}

void velcmc_file_stream_class_init(FileStreamClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = velcmc_file_stream_finalize;
  GMimeStreamClass* stream = GMIME_STREAM_CLASS(klass);
  stream->read = FileStreamRead;
  stream->write = FileStreamWrite;
  stream->flush = FileStreamFlush;
  stream->close = FileStreamClose;
  stream->eos = FileStreamEos;
  stream->reset = FileStreamReset;
  stream->seek = FileStreamSeek;
  stream->tell = FileStreamTell;
  stream->length = FileStreamLength;
  stream->substream = FileStreamSubstream;
}

void velcmc_file_stream_init(FileStream* self) {
  self->files = nullptr;
  self->fd = -1;
  self->owns_fd = false;
  self->writer = false;
  self->eos = false;
}

}  // namespace

GObjectPtr<GMimeStream> NewFileReader(vel::os::FileSystem& files, int fd, bool owns_fd) {
  return GObjectPtr<GMimeStream>(NewFileStream(files, fd, owns_fd, false, 0, -1));
}

GObjectPtr<GMimeStream> NewFileWriter(vel::os::FileSystem& files, int fd, bool owns_fd) {
  return GObjectPtr<GMimeStream>(NewFileStream(files, fd, owns_fd, true, 0, -1));
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
