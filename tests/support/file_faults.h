// File systems that fail on purpose, put in place of the providers' own
// (vel::os::ReplaceFiles) by tests of what a full disk or a failing disk
// leaves behind.
#ifndef VEL_TEST_FILE_FAULTS_H
#define VEL_TEST_FILE_FAULTS_H

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "file_system.h"

namespace veltest {

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
  int left_;
  int error_;
};

}  // namespace veltest

#endif
