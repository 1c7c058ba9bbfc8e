// The bound CMC provider and its entry points.
#ifndef VELMAIL_MAPI_CMCBIND_H
#define VELMAIL_MAPI_CMCBIND_H

#include <cstdint>

#include "cmc.h"
#include "velsrv.h"

// The provider's entry points, resolved in this order.
struct sm_cmcentries {
  CMC_logon_fn logon;
  CMC_logoff_fn logoff;
  CMC_free_fn free;
  CMC_send_fn send;
  CMC_look_up_fn look_up;
  CMC_list_fn list;
  CMC_read_fn read;
  CMC_act_on_fn act_on;
};

extern void* sm_cmcdll;  // the provider module; null while none is bound
extern sm_cmcentries sm_cmc;

// Binds the provider named in sm_cmcdllname. 1 or 0 (reported, the final
// message to thread).
int32_t sm_loadcmc(srv_proc* thread);

// Releases the provider and clears sm_cmcdll.
void sm_unloadcmc();

#endif
