/* velmail: what the library exports, and nothing else. A host loads the
 * module, calls DllMain at process attach and detach, hands over its mail
 * profile with xp_srv_set_mailprofile, and runs the six procedures on the
 * thread of the client that called them. Every procedure returns 1 when it
 * succeeded (its return status 0 already sent) and 0 when it failed (its
 * messages already routed). */
#ifndef VELMAIL_H
#define VELMAIL_H

#include <stdint.h>

#include "velabi.h"
#include "velsrv.h"

#ifdef __cplusplus
extern "C" {
#endif

/* reason: 1 process attach, 0 process detach (2 and 3, thread attach and
 * detach, do nothing). 1 for success, 0 when attach failed. */
VEL_EXPORT int32_t VEL_STDCALL DllMain(void *module, uint32_t reason, void *reserved);

VEL_EXPORT int32_t VEL_CDECL xp_startmail(struct srv_proc *thread);
VEL_EXPORT int32_t VEL_CDECL xp_stopmail(struct srv_proc *thread);
VEL_EXPORT int32_t VEL_CDECL xp_sendmail(struct srv_proc *thread);
VEL_EXPORT int32_t VEL_CDECL xp_findnextmsg(struct srv_proc *thread);
VEL_EXPORT int32_t VEL_CDECL xp_readmail(struct srv_proc *thread);
VEL_EXPORT int32_t VEL_CDECL xp_deletemail(struct srv_proc *thread);

/* The host's mail profile: a user name and an encoded password. The
 * library stores it and logs on with it; a null user is reported (11542). */
VEL_EXPORT void VEL_CDECL xp_srv_set_mailprofile(const char *user, const char *encoded_password);

#ifdef __cplusplus
}
#endif

#endif
