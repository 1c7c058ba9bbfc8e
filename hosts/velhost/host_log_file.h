// The host log written to a file (--log): after each call, the lines the
// host logged since the last flush are appended.
#ifndef VELHOST_HOST_LOG_FILE_H
#define VELHOST_HOST_LOG_FILE_H

#include <fstream>
#include <mutex>
#include <string>

#include "velsrv_host.h"

namespace velhost {

class HostLogFile {
 public:
  HostLogFile(const velsrv::Host& host, const std::string& path);
  bool is_open() const { return out_.is_open(); }
  // Safe to call from several client threads.
  void Flush();

 private:
  const velsrv::Host& host_;
  std::mutex mu_;
  std::ofstream out_;
  size_t written_ = 0;  // lines of host.log() already in the file
};

}  // namespace velhost

#endif
