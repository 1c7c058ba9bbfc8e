// Library start-up and shutdown, and the process-wide settings made at
// attach. They are written only by attach and detach and read freely in
// between.
#ifndef VELMAIL_FRAME_STARTUP_H
#define VELMAIL_FRAME_STARTUP_H

#include <cstdint>

#include "velmsgs.h"
#include "velsrv.h"

extern xp_srv_route_err_fn sm_route_err;  // the host's error router
extern char sm_cmcdllname[256];           // the provider's module name
extern cs_context* sm_ctx;                // client-library context
extern int32_t sm_timeout;                // mail request time-out, milliseconds
extern int32_t sm_lotus;                  // 1: list messages of every type

constexpr int32_t SM_DEFAULT_TIMEOUT = 60000;

// Reads a time-out the way the runtime's atoi does (leading blanks, sign,
// digits, anything after them ignored); no number and 0 give the default.
int32_t sm_parsetimeout(const char* text);

// The client library's challenge callback, as the context registers it.
using sm_challenge_fn = int32_t(VEL_CDECL*)(void*, void*, int32_t*, void*, void*, void*, void*,
                                            void*);

// Makes the client-library context sm_ctx, with the challenge callback and
// the host's interfaces file. 1, or 0 (reported).
int32_t sm_initclient(sm_challenge_fn challenge);
// Ends the client library and drops the context (failures reported).
void sm_exitclient();

#endif
