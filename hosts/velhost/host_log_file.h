// The host log written to a file (--log): after each call, the lines the
// host logged since the last flush are appended.
#ifndef VELHOST_HOST_LOG_FILE_H
#define VELHOST_HOST_LOG_FILE_H

#include <fstream>
#include <string>

#include "mutex.h"
#include "velsrv_host.h"

namespace velhost {

class HostLogFile {
 public:
  HostLogFile(const velsrv::Host& host, const std::string& path);
  bool is_open() const {
    vel::os::MutexLock lock(mu_);
    return out_.is_open();
  }
  // Safe to call from several client threads.
  void Flush();

 private:
  const velsrv::Host& host_;
  mutable vel::os::Mutex mu_;
  std::ofstream out_ VEL_GUARDED_BY(mu_);
  size_t written_ VEL_GUARDED_BY(mu_) = 0;  // lines of host.log() already in the file
};

}  // namespace velhost

#endif
