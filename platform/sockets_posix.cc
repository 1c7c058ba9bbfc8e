// The network provider's socket calls (sockets.h), on POSIX systems.
#include <poll.h>
#include <sys/socket.h>

#include "sockets.h"

namespace vel::os {

bool WaitForSocket(int socket, bool write, uint32_t ms) {
  pollfd p{socket, static_cast<short>(write ? POLLOUT : POLLIN), 0};
  return poll(&p, 1, static_cast<int>(ms)) > 0;
}

void ShutDownSocket(int socket) { shutdown(socket, SHUT_RDWR); }

}  // namespace vel::os
