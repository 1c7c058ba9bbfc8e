// A module whose attach always fails, for the host's attach-failure path.
#include "fakelib.h"
#include "velsrv.h"

extern "C" VEL_EXPORT int32_t VEL_STDCALL DllMain(void* /*module*/, uint32_t reason,
                                                  void* /*reserved*/) {
  if (reason == 1) {
    srv_log(nullptr, 1, "noattach: attach\n", VEL_NULLTERM);
    return 0;
  }
  if (reason == 0) srv_log(nullptr, 1, "noattach: detach\n", VEL_NULLTERM);
  return 1;
}

extern "C" VEL_EXPORT int32_t fk_whoami(srv_proc* proc) { return srv_sendstatus(proc, 0); }
