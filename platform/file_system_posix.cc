// The system's own file system for the mail providers (file_system.h), on
// POSIX systems.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "file_system.h"

namespace vel::os {
namespace {

FileType TypeOf(mode_t mode) {
  if (S_ISREG(mode)) return FileType::kRegular;
  if (S_ISDIR(mode)) return FileType::kDirectory;
  if (S_ISLNK(mode)) return FileType::kSymlink;
  return FileType::kOther;
}

void Fill(const struct stat& st, FileInfo* info) {
  info->type = TypeOf(st.st_mode);
  info->size = static_cast<uint64_t>(st.st_size);
  info->modified_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  info->changed_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  info->owner = static_cast<uint32_t>(st.st_uid);
  info->mode = static_cast<uint32_t>(st.st_mode & 07777);
  info->device = static_cast<uint64_t>(st.st_dev);
  info->inode = static_cast<uint64_t>(st.st_ino);
  info->links = static_cast<uint64_t>(st.st_nlink);
}

// Opens path with flags (O_NONBLOCK among them, so that a FIFO does not
// wait for a writer) and keeps it only when it is a regular file, with the
// flag dropped again; anything else is refused ("invalid argument"). The
// descriptor with the file's size in *size, or -1.
int OpenRegular(const char* path, int flags, uint64_t* size) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return -1;
  struct stat st;
  int refused = fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EINVAL);
  if (refused != 0) {
    close(fd);
    errno = refused;
    return -1;
  }
  int kept = fcntl(fd, F_GETFL);
  if (kept >= 0) fcntl(fd, F_SETFL, kept & ~O_NONBLOCK);
  if (size != nullptr) *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

class PosixFileSystem final : public FileSystem {
 public:
  int OpenRegularFile(const char* path, uint64_t* size, bool follow_link) override;
  int CreateNewFile(const char* path) override;
  int OpenExistingFile(const char* path) override;
  int OpenForAppend(const char* path) override;
  int64_t ReadFile(int fd, void* buffer, size_t size) override;
  int64_t ReadFileAt(int fd, void* buffer, size_t size, uint64_t offset) override;
  bool WriteFile(int fd, const void* data, size_t size) override;
  bool WriteFileAt(int fd, const void* data, size_t size, uint64_t offset) override;
  bool TruncateFile(int fd, uint64_t size) override;
  bool SyncFile(int fd) override;
  bool CloseFile(int fd) override;
  bool TryLockFile(int fd) override;
  bool StatFile(int fd, FileInfo* info) override;
  bool TouchFile(int fd) override;
  std::string RealPathOf(int fd) override;
  bool Stat(const char* path, FileInfo* info, bool follow_link) override;
  bool ListDirectory(const char* path, std::vector<DirectoryEntry>* entries) override;
  bool CreatePrivateDirectory(const char* path) override;
  bool MakePrivate(const char* path) override;
  bool Rename(const char* from, const char* to) override;
  bool Link(const char* existing, const char* name) override;
  bool RemoveFile(const char* path) override;
  bool RemoveTree(const char* path) override;
  bool SyncDirectory(const char* path) override;
  bool WriteNewFileDurably(const char* path, const void* data, size_t size) override;
};

}  // namespace

bool PosixFileSystem::WriteNewFileDurably(const char* path, const void* data, size_t size) {
  if (path == nullptr || (data == nullptr && size > 0)) {
    errno = EINVAL;
    return false;
  }
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;  // an existing file is left alone
  const char* bytes = static_cast<const char*>(data);
  size_t total = 0;
  bool ok = true;
  while (ok && total < size) {
    ssize_t n = write(fd, bytes + total, size - total);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;  // nothing more fits
      ok = false;
      break;
    }
    total += static_cast<size_t>(n);
  }
  if (ok && fsync(fd) != 0) ok = false;
  int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(path);
    errno = saved;
  }
  return ok;
}

bool PosixFileSystem::SyncDirectory(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return false;
  }
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  int saved = errno;
  close(fd);
  errno = saved;
  return ok;
}

int PosixFileSystem::OpenRegularFile(const char* path, uint64_t* size, bool follow_link) {
  if (size == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return OpenRegular(path, O_RDONLY | (follow_link ? 0 : O_NOFOLLOW), size);
}

int PosixFileSystem::CreateNewFile(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

int PosixFileSystem::OpenExistingFile(const char* path) {
  return OpenRegular(path, O_RDWR | O_NOFOLLOW, nullptr);
}

int64_t PosixFileSystem::ReadFile(int fd, void* buffer, size_t size) {
  for (;;) {
    ssize_t n = read(fd, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

bool PosixFileSystem::WriteFile(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool PosixFileSystem::SyncFile(int fd) { return fsync(fd) == 0; }

bool PosixFileSystem::CloseFile(int fd) { return close(fd) == 0; }

bool PosixFileSystem::TryLockFile(int fd) { return flock(fd, LOCK_EX | LOCK_NB) == 0; }

std::string PosixFileSystem::RealPathOf(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  ssize_t n = readlink(link, target, sizeof target);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof target || target[0] != '/') return "";
  return std::string(target, static_cast<size_t>(n));
}

bool PosixFileSystem::CreatePrivateDirectory(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return false;
  }
  if (mkdir(path, 0700) == 0) return true;
  if (errno != EEXIST) return false;
  struct stat st;
  if (lstat(path, &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

int PosixFileSystem::OpenForAppend(const char* path) {
  return OpenRegular(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, nullptr);
}

int64_t PosixFileSystem::ReadFileAt(int fd, void* buffer, size_t size, uint64_t offset) {
  for (;;) {
    ssize_t n = pread(fd, buffer, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

bool PosixFileSystem::WriteFileAt(int fd, const void* data, size_t size, uint64_t offset) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = pwrite(fd, bytes, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool PosixFileSystem::TruncateFile(int fd, uint64_t size) {
  return ftruncate(fd, static_cast<off_t>(size)) == 0;
}

bool PosixFileSystem::StatFile(int fd, FileInfo* info) {
  struct stat st;
  if (info == nullptr || fstat(fd, &st) != 0) return false;
  Fill(st, info);
  return true;
}

bool PosixFileSystem::TouchFile(int fd) { return futimens(fd, nullptr) == 0; }

bool PosixFileSystem::Stat(const char* path, FileInfo* info, bool follow_link) {
  struct stat st;
  if (path == nullptr || info == nullptr) {
    errno = EINVAL;
    return false;
  }
  if ((follow_link ? stat(path, &st) : lstat(path, &st)) != 0) return false;
  Fill(st, info);
  return true;
}

bool PosixFileSystem::ListDirectory(const char* path, std::vector<DirectoryEntry>* entries) {
  entries->clear();
  if (path == nullptr) {
    errno = EINVAL;
    return false;
  }
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    int saved = errno;
    close(fd);
    errno = saved;
    return false;
  }
  while (const dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    FileType type = FileType::kOther;
    switch (entry->d_type) {
      case DT_REG:
        type = FileType::kRegular;
        break;
      case DT_DIR:
        type = FileType::kDirectory;
        break;
      case DT_LNK:
        type = FileType::kSymlink;
        break;
      case DT_UNKNOWN: {
        struct stat st;
        if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) == 0) type = TypeOf(st.st_mode);
        break;
      }
      default:
        break;
    }
    entries->push_back({name, type});
  }
  closedir(dir);
  return true;
}

bool PosixFileSystem::MakePrivate(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return false;
  }
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fchmod(fd, 0700) == 0;
  int saved = errno;
  close(fd);
  errno = saved;
  return ok;
}

bool PosixFileSystem::Rename(const char* from, const char* to) {
  if (from == nullptr || to == nullptr) {
    errno = EINVAL;
    return false;
  }
  return rename(from, to) == 0;
}

bool PosixFileSystem::Link(const char* existing, const char* name) {
  if (existing == nullptr || name == nullptr) {
    errno = EINVAL;
    return false;
  }
  return link(existing, name) == 0;
}

bool PosixFileSystem::RemoveFile(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return false;
  }
  return unlink(path) == 0;
}

bool PosixFileSystem::RemoveTree(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return false;
  }
  // remove_all removes symbolic links themselves, never what they point to.
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec) {
    errno = ec.value();
    return false;
  }
  return true;
}

FileSystem& SystemFileSystem() {
  static PosixFileSystem system;
  return system;
}

namespace {
std::atomic<FileSystem*> g_files{nullptr};
}  // namespace

FileSystem& Files() {
  FileSystem* replaced = g_files.load(std::memory_order_acquire);
  return replaced != nullptr ? *replaced : SystemFileSystem();
}

FileSystem* ReplaceFiles(FileSystem* fs) {
  FileSystem* previous = g_files.exchange(fs, std::memory_order_acq_rel);
  return previous != nullptr ? previous : &SystemFileSystem();
}

}  // namespace vel::os
