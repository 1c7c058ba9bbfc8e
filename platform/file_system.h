// The file system as the mail providers see it: one interface for every
// file and directory call they make, so that a test can stand between a
// provider and the disk (FileSystemWrapper) and make any call fail, or end
// the process at a chosen step, without the provider knowing.
//
// Every call states its result; a call that fails sets LastError() (the
// system's error number) and leaves nothing half done unless it says so.
// Descriptors are those of the C runtime (what GMime's file streams take).
// Nothing here follows a symbolic link unless the call says it does, and
// every file or directory made is its owner's only (0600, 0700).
//
// This layer exists on POSIX systems, where the providers that need it are
// built; the Windows tree carries only the test provider, which keeps no
// files.
#ifndef VEL_FILE_SYSTEM_H
#define VEL_FILE_SYSTEM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vel::os {

// What a name in the file system is.
enum class FileType { kRegular, kDirectory, kSymlink, kOther };

// A file's properties at one moment.
struct FileInfo {
  FileType type = FileType::kOther;
  uint64_t size = 0;
  int64_t modified_ns = 0;  // last change of content, since the epoch
  // Last change of the file's content or properties, since the epoch, as
  // the file system's own clock stamped it (a program can set
  // modified_ns, not this); 0 where the system keeps none.
  int64_t changed_ns = 0;
  uint32_t owner = 0;  // user id
  uint32_t mode = 0;   // permission bits (07777)
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t links = 0;  // 0 once the file has been removed
};

// One name of a directory; "." and ".." are never listed.
struct DirectoryEntry {
  std::string name;
  FileType type = FileType::kOther;  // of the name itself, a link not followed
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // ------------------------------------------------------- descriptors

  // Opens a regular file for reading without waiting on a FIFO or device:
  // anything but a regular file is refused ("invalid argument"), and so is
  // a symbolic link as the last component ("too many levels of symbolic
  // links") unless follow_link says to follow it. Returns the descriptor
  // and the file's size at opening in *size, or -1.
  virtual int OpenRegularFile(const char* path, uint64_t* size, bool follow_link) = 0;

  // Creates a new file for writing and reading, which must not exist yet
  // (created exclusively, 0600, a symbolic link at path is not followed).
  // Returns the descriptor, or -1.
  virtual int CreateNewFile(const char* path) = 0;

  // Opens an existing regular file for reading and writing, a symbolic
  // link as its last component refused. Returns the descriptor, or -1.
  virtual int OpenExistingFile(const char* path) = 0;

  // Opens a regular file for appending, creating it (0600) when it is
  // missing; a symbolic link or anything but a regular file is refused.
  // Returns the descriptor, or -1.
  virtual int OpenForAppend(const char* path) = 0;

  // Reads up to size bytes at the file's position (ReadFileAt: at offset,
  // the position unchanged). Returns the number read (0 at the end of the
  // file), or -1.
  virtual int64_t ReadFile(int fd, void* buffer, size_t size) = 0;
  virtual int64_t ReadFileAt(int fd, void* buffer, size_t size, uint64_t offset) = 0;

  // Writes all size bytes at the file's position. False on failure ("no
  // space left on device" when the disk took nothing more); how much of a
  // failed write reached the file is then unknown.
  virtual bool WriteFile(int fd, const void* data, size_t size) = 0;

  // Writes all size bytes at offset, the file's position unchanged. False
  // on failure, as WriteFile.
  virtual bool WriteFileAt(int fd, const void* data, size_t size, uint64_t offset) = 0;

  // Cuts the file to size bytes. False on failure.
  virtual bool TruncateFile(int fd, uint64_t size) = 0;

  // Flushes the file's data to disk. False on failure.
  virtual bool SyncFile(int fd) = 0;

  // Closes a descriptor. False when closing failed (the descriptor is
  // closed all the same).
  virtual bool CloseFile(int fd) = 0;

  // Takes an exclusive lock on an open file without waiting. The lock is
  // held until the descriptor is closed or the process ends, however it
  // ends. False when another descriptor (of this process or another one)
  // holds it, or on failure.
  virtual bool TryLockFile(int fd) = 0;

  // The properties of an open file. False on failure.
  virtual bool StatFile(int fd, FileInfo* info) = 0;

  // Sets an open file's modification time to now. False on failure.
  virtual bool TouchFile(int fd) = 0;

  // The absolute path of an open file as the system reached it, with no
  // symbolic link in it. Empty on failure.
  virtual std::string RealPathOf(int fd) = 0;

  // ------------------------------------------------------------- names

  // The properties of what path names; with follow_link, of what a
  // symbolic link there points to. False when there is nothing there or
  // on failure.
  virtual bool Stat(const char* path, FileInfo* info, bool follow_link) = 0;

  // The names in a directory, in no particular order. False when the
  // directory cannot be read (the list is then empty).
  virtual bool ListDirectory(const char* path, std::vector<DirectoryEntry>* entries) = 0;

  // Creates a directory only its owner may enter (0700). True when it was
  // created, or when a directory (not a symbolic link) is already there.
  virtual bool CreatePrivateDirectory(const char* path) = 0;

  // Makes an existing directory its owner's only (0700), a symbolic link
  // refused. False on failure.
  virtual bool MakePrivate(const char* path) = 0;

  // Gives a file a new name, replacing any file at to, in one step that a
  // crash cannot cut in half. False on failure (nothing changed).
  virtual bool Rename(const char* from, const char* to) = 0;

  // Gives an existing file a second name, which must not exist yet. False
  // on failure ("invalid cross-device link", "too many links", "operation
  // not permitted" where the file system cannot link).
  virtual bool Link(const char* existing, const char* name) = 0;

  // Removes a file's name (not a directory). False on failure; a missing
  // name is a failure ("no such file or directory").
  virtual bool RemoveFile(const char* path) = 0;

  // Removes a directory and everything below it, or a file; symbolic links
  // are removed, never followed. True when nothing is left at path.
  virtual bool RemoveTree(const char* path) = 0;

  // Flushes a directory's entries to disk, so that files created in it or
  // renamed into it survive a crash. False on failure.
  virtual bool SyncDirectory(const char* path) = 0;

  // Writes size bytes to a new file at path, which must not exist yet
  // (created exclusively, 0600), and flushes them to disk before closing
  // it. On failure nothing is left at path.
  virtual bool WriteNewFileDurably(const char* path, const void* data, size_t size) = 0;
};

// The system's own file system.
FileSystem& SystemFileSystem();

// The file system the providers use: the system's own unless a test has
// put another in its place. Safe to call from any thread.
FileSystem& Files();

// Puts fs in place of the file system the providers use (nullptr for the
// system's own) and returns the one it replaces. For tests, which set it
// while no provider call is running; fs must outlive its use.
FileSystem* ReplaceFiles(FileSystem* fs);

// Passes every call on to another file system; a test overrides the calls
// it wants to fail or watch (as LevelDB's EnvWrapper does). Calls come from
// several threads at once: what an override keeps must allow for that.
class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem& target) : target_(target) {}
  FileSystem& target() const { return target_; }

  int OpenRegularFile(const char* path, uint64_t* size, bool follow_link) override {
    return target_.OpenRegularFile(path, size, follow_link);
  }
  int CreateNewFile(const char* path) override { return target_.CreateNewFile(path); }
  int OpenExistingFile(const char* path) override { return target_.OpenExistingFile(path); }
  int OpenForAppend(const char* path) override { return target_.OpenForAppend(path); }
  int64_t ReadFile(int fd, void* buffer, size_t size) override {
    return target_.ReadFile(fd, buffer, size);
  }
  int64_t ReadFileAt(int fd, void* buffer, size_t size, uint64_t offset) override {
    return target_.ReadFileAt(fd, buffer, size, offset);
  }
  bool WriteFile(int fd, const void* data, size_t size) override {
    return target_.WriteFile(fd, data, size);
  }
  bool WriteFileAt(int fd, const void* data, size_t size, uint64_t offset) override {
    return target_.WriteFileAt(fd, data, size, offset);
  }
  bool TruncateFile(int fd, uint64_t size) override { return target_.TruncateFile(fd, size); }
  bool SyncFile(int fd) override { return target_.SyncFile(fd); }
  bool CloseFile(int fd) override { return target_.CloseFile(fd); }
  bool TryLockFile(int fd) override { return target_.TryLockFile(fd); }
  bool StatFile(int fd, FileInfo* info) override { return target_.StatFile(fd, info); }
  bool TouchFile(int fd) override { return target_.TouchFile(fd); }
  std::string RealPathOf(int fd) override { return target_.RealPathOf(fd); }
  bool Stat(const char* path, FileInfo* info, bool follow_link) override {
    return target_.Stat(path, info, follow_link);
  }
  bool ListDirectory(const char* path, std::vector<DirectoryEntry>* entries) override {
    return target_.ListDirectory(path, entries);
  }
  bool CreatePrivateDirectory(const char* path) override {
    return target_.CreatePrivateDirectory(path);
  }
  bool MakePrivate(const char* path) override { return target_.MakePrivate(path); }
  bool Rename(const char* from, const char* to) override { return target_.Rename(from, to); }
  bool Link(const char* existing, const char* name) override {
    return target_.Link(existing, name);
  }
  bool RemoveFile(const char* path) override { return target_.RemoveFile(path); }
  bool RemoveTree(const char* path) override { return target_.RemoveTree(path); }
  bool SyncDirectory(const char* path) override { return target_.SyncDirectory(path); }
  bool WriteNewFileDurably(const char* path, const void* data, size_t size) override {
    return target_.WriteNewFileDurably(path, data, size);
  }

 private:
  FileSystem& target_;
};

}  // namespace vel::os

#endif
