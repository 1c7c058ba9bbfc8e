#include "net/netlog.h"

#include <fcntl.h>
#include <unistd.h>

#include <ctime>

namespace velnet {

void Log(const std::string& path, const std::string& text) {
  if (path.empty()) return;
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
  std::string line = std::string(stamp) + " " + std::to_string(getpid()) + " ";
  // One line per event, whatever the text holds.
  for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
  line += '\n';
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  // One write with O_APPEND keeps lines from different processes whole.
  ssize_t written = write(fd, line.data(), line.size());
  (void)written;
  close(fd);
}

}  // namespace velnet
