// Library start-up and shutdown: the steps attach and detach take that
// belong to the frame (the settings themselves are in frame/state.h).
#ifndef VELMAIL_FRAME_STARTUP_H
#define VELMAIL_FRAME_STARTUP_H

#include <cstdint>

#include "frame/state.h"
#include "velsrv.h"

// Reads a time-out the way the runtime's atoi does (leading blanks, sign,
// digits, anything after them ignored); no number and 0 give the default.
int32_t sm_parsetimeout(const char* text);

// The client library's challenge callback, as the context registers it.
using sm_challenge_fn = int32_t(VEL_CDECL*)(void*, void*, int32_t*, void*, void*, void*, void*,
                                            void*);

// Makes the client-library context sm_state.ctx, with the challenge callback and
// the host's interfaces file. 1, or 0 (reported).
int32_t sm_initclient(sm_challenge_fn challenge);
// Ends the client library and drops the context (failures reported).
void sm_exitclient();

#endif
