// The bound CMC provider and its entry points.
#ifndef VELMAIL_MAPI_CMCBIND_H
#define VELMAIL_MAPI_CMCBIND_H

#include <cstdint>

#include "cmc.h"
#include "frame/state.h"
#include "velsrv.h"

// Binds the provider named in sm_state.cmcdllname. 1 or 0 (reported, the final
// message to thread).
int32_t sm_loadcmc(srv_proc* thread);

// Releases the provider and clears sm_state.cmcdll.
void sm_unloadcmc();

#endif
