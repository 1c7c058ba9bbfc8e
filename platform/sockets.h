// The two socket calls the network provider makes itself (libcurl makes
// the rest): waiting on a connection's socket with a time limit, and
// cutting a connection off. POSIX systems only, as file_system.h.
#ifndef VEL_SOCKETS_H
#define VEL_SOCKETS_H

#include <cstdint>

namespace vel::os {

// Waits until the socket can be read (or written, with write) or ms
// milliseconds have passed, whichever comes first. Returns true when it
// can, false when the time ran out or on failure (a closed or failed
// socket counts as ready: the next read or write tells what happened).
bool WaitForSocket(int socket, bool write, uint32_t ms);

// Shuts both directions of a connected socket down at once, without
// waiting for anything; the socket itself stays to be closed by its owner.
void ShutDownSocket(int socket);

}  // namespace vel::os

#endif
