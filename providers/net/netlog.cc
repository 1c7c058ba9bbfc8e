#include "net/netlog.h"

#include <ctime>

#include "file_system.h"
#include "platform.h"

namespace velnet {

void Log(const std::string& path, const std::string& text) {
  if (path.empty()) return;
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
  std::string line = std::string(stamp) + " " + std::to_string(vel::os::ProcessId()) + " ";
  // One line per event, whatever the text holds.
  for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
  line += '\n';
  vel::os::FileSystem& files = vel::os::Files();
  int fd = files.OpenForAppend(path.c_str());
  if (fd < 0) return;
  // One write in append mode keeps lines from different processes whole.
  files.WriteFile(fd, line.data(), line.size());
  files.CloseFile(fd);
}

}  // namespace velnet
