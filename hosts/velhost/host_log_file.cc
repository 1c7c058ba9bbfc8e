#include "host_log_file.h"

#include <chrono>
#include <ctime>
#include <vector>

namespace velhost {
namespace {

std::string Timestamp() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  char text[32] = "";
  // Called with the file's lock held; nothing else in velhost uses localtime.
  if (const std::tm* local = std::localtime(&now)) {
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
  }
  return text;
}

}  // namespace

HostLogFile::HostLogFile(const velsrv::Host& host, const std::string& path)
    : host_(host), out_(path, std::ios::app) {}

void HostLogFile::Flush() {
  vel::os::MutexLock lock(mu_);
  if (!out_.is_open()) return;
  const std::vector<std::string> lines = host_.log();
  if (lines.size() <= written_) return;
  const std::string stamp = Timestamp();
  for (size_t i = written_; i < lines.size(); ++i) {
    std::string line = lines[i];
    while (!line.empty() && line.back() == '\n') line.pop_back();
    out_ << stamp << "  " << line << "\n";
  }
  written_ = lines.size();
  out_.flush();
}

}  // namespace velhost
