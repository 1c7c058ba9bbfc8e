/* The host's message library: the error router. */
#ifndef VELMSGS_H
#define VELMSGS_H

#include "velabi.h"

#ifdef __cplusplus
extern "C" {
#endif

struct srv_proc;

/* Further arguments per number: a text for 11518; a text and a 32-bit
 * number where the library raises the message with a name; one 32-bit
 * number otherwise. */
typedef void(VEL_CDECL *xp_srv_route_err_fn)(struct srv_proc *thread, int32_t msgnum,
                                             int32_t routing, ...);

enum {
  VEL_ROUTE_LOG = 0x1,   /* write the message to the host log */
  VEL_ROUTE_CLIENT = 0x8 /* send it to the client thread, when there is one */
};

void VEL_CDECL xp_srv_route_err(struct srv_proc *thread, int32_t msgnum, int32_t routing, ...);

#ifdef __cplusplus
}
#endif

#endif
