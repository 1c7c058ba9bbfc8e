// A slow disk for a program under test: preloaded (LD_PRELOAD), it makes
// every fsync and fdatasync of the process wait VELTEST_SYNC_MS
// milliseconds before the flush, as a disk whose flush takes that long
// does. Built for the tests only, never installed.
#include <dlfcn.h>
#include <time.h>

#include <cstdlib>

namespace {

void Wait() {
  static const long ms = [] {
    const char* text = std::getenv("VELTEST_SYNC_MS");
    return text ? std::strtol(text, nullptr, 10) : 0L;
  }();
  if (ms <= 0) return;
  timespec left{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0) {
  }
}

template <class Fn>
Fn Next(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int fsync(int fd);
__attribute__((visibility("default"))) int fdatasync(int fd);

int fsync(int fd) {
  static auto next = Next<int (*)(int)>("fsync");
  Wait();
  return next(fd);
}

int fdatasync(int fd) {
  static auto next = Next<int (*)(int)>("fdatasync");
  Wait();
  return next(fd);
}

}  // extern "C"
