// The provider's log: one line per event, appended to the configured file
// (created owner-only, never through a symbolic link). Callers never pass
// a password; server replies are logged as the server gave them.
#ifndef VELNET_NETLOG_H
#define VELNET_NETLOG_H

#include <string>

namespace velnet {

// Appends "<UTC time> <pid> <text>" to the log at path; does nothing when
// path is empty. Failures to log are ignored: logging never fails a call.
void Log(const std::string& path, const std::string& text);

}  // namespace velnet

#endif
