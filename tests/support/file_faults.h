// File systems that fail on purpose, put in place of the providers' own
// (vel::os::ReplaceFiles) by tests of what a full disk or a failing disk
// leaves behind.
#ifndef VEL_TEST_FILE_FAULTS_H
#define VEL_TEST_FILE_FAULTS_H

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "file_system.h"
#include "platform.h"

namespace veltest {

// A provider calls its file system from several threads at once (the
// directory flushes of a delivery, say): the counts below are atomic.

// Ends the process right after the N-th call that changes something on
// disk (a file made, written, cut, flushed, renamed, linked or removed), as a
// crash at that point would.
class CrashAfter : public vel::os::FileSystemWrapper {
 public:
  explicit CrashAfter(int n) : FileSystemWrapper(vel::os::SystemFileSystem()), left_(n) {}
  int CreateNewFile(const char* path) override { return Step(target().CreateNewFile(path)); }
  bool WriteFile(int fd, const void* data, size_t size) override {
    return Step(target().WriteFile(fd, data, size));
  }
  bool WriteFileAt(int fd, const void* data, size_t size, uint64_t offset) override {
    return Step(target().WriteFileAt(fd, data, size, offset));
  }
  bool TruncateFile(int fd, uint64_t size) override {
    return Step(target().TruncateFile(fd, size));
  }
  bool SyncFile(int fd) override { return Step(target().SyncFile(fd)); }
  bool Rename(const char* from, const char* to) override { return Step(target().Rename(from, to)); }
  bool Link(const char* existing, const char* name) override {
    return Step(target().Link(existing, name));
  }
  bool RemoveFile(const char* path) override { return Step(target().RemoveFile(path)); }
  bool SyncDirectory(const char* path) override { return Step(target().SyncDirectory(path)); }

 private:
  template <typename T>
  T Step(T result) {
    if (--left_ == 0) vel::os::KillThisProcess();
    return result;
  }
  std::atomic<int> left_;
};

// Runs body in a child process whose file system ends it right after its
// step-th change (CrashAfter). The child's exit status when it ran to its
// end (0 when body returned true, 1 when false); -1 when it was ended at
// that step; -2 when it could not be run.
template <typename Body>
int RunCrashingAfter(int step, Body body) {
  const pid_t child = fork();
  if (child < 0) return -2;
  if (child == 0) {
    CrashAfter crash(step);
    vel::os::ReplaceFiles(&crash);
    std::_Exit(body() ? 0 : 1);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -2;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Fails the N-th write or flush (counting from 1) with one error, as a
// full disk or quota (or a failing disk) would; everything else, and every
// other write, reaches the system's file system.
class FailWrite : public vel::os::FileSystemWrapper {
 public:
  FailWrite(int n, int error)
      : FileSystemWrapper(vel::os::SystemFileSystem()), left_(n), error_(error) {}
  bool WriteFile(int fd, const void* data, size_t size) override {
    return Step() && target().WriteFile(fd, data, size);
  }
  bool WriteFileAt(int fd, const void* data, size_t size, uint64_t offset) override {
    return Step() && target().WriteFileAt(fd, data, size, offset);
  }
  bool SyncFile(int fd) override { return Step() && target().SyncFile(fd); }
  // Whether the failure came (false: the work ended before the N-th write).
  bool failed() const { return left_ <= 0; }

 private:
  bool Step() {
    if (--left_ != 0) return true;
    errno = error_;
    return false;
  }
  std::atomic<int> left_;
  const int error_;
};

}  // namespace veltest

#endif
