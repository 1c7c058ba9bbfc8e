// What the small modules the host tests load in place of the mail library
// export (fakelib_procs.cc, and fakelib_noattach.cc with the first two).
#ifndef VELMAIL_TESTS_FAKELIB_H
#define VELMAIL_TESTS_FAKELIB_H

#include <cstdint>

#include "velsrv.h"

extern "C" {
VEL_EXPORT int32_t VEL_STDCALL DllMain(void* module, uint32_t reason, void* reserved);
VEL_EXPORT int32_t fk_whoami(srv_proc* proc);
VEL_EXPORT srv_proc* fakelib_attach_caller();
VEL_EXPORT int32_t fk_describe(srv_proc* proc);
VEL_EXPORT int32_t fk_read(srv_proc* proc);
VEL_EXPORT int32_t fk_read_cut4(srv_proc* proc);
VEL_EXPORT int32_t fk_reverse(srv_proc* proc);
VEL_EXPORT int32_t fk_replies(srv_proc* proc);
VEL_EXPORT int32_t fk_alloc3(srv_proc* proc);
VEL_EXPORT int32_t fk_route(srv_proc* proc);
VEL_EXPORT int32_t fk_props(srv_proc* proc);
VEL_EXPORT int32_t fk_busy(srv_proc* proc);
VEL_EXPORT void xp_srv_set_mailprofile(const char* user, const char* encoded_password);
}

#endif
