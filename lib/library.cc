// The library's wiring, above every layer: what the host's loader calls at
// attach and detach, and the client library's challenge callback. frame/,
// mapi/, send/ and read/ never call up into this file; it calls down into
// each of them.
#include <cstring>

#include "frame/errors.h"
#include "frame/startup.h"
#include "frame/state.h"
#include "mapi/cmcbind.h"
#include "mapi/session.h"
#include "mapi/worker.h"
#include "platform.h"
#include "velmail.h"

extern "C" int32_t VEL_CDECL sm_challenge_cb(void* a1, void* a2, int32_t* a3, void* a4, void* a5,
                                             void* a6, void* a7, void* a8);

namespace {

constexpr uint32_t kReasonDetach = 0;
constexpr uint32_t kReasonAttach = 1;

int32_t Attach() {
  // Everything is set afresh: a module that stayed mapped keeps its old
  // values between loads.
  sm_resetstate();

  vel::os::Module msgs = vel::os::FindLoadedModule("velmsgs");
  if (msgs == nullptr) {
    sm_log("Velmail: Cannot load msg dll.\n");
    return 0;
  }
  sm_state.route_err =
      reinterpret_cast<xp_srv_route_err_fn>(vel::os::ModuleSymbol(msgs, "xp_srv_route_err"));
  if (sm_state.route_err == nullptr) {
    sm_log("Velmail: Cannot find error handler.\n");
    return 0;
  }

  if (vel::os::GetProfileString("Mail", "CMCDLLNAME32", "MAPI32.DLL", sm_state.cmcdllname,
                                sizeof(sm_state.cmcdllname)) == 0) {
    strcpy(sm_state.cmcdllname, "MAPI32.DLL");
  }

  if (!sm_initclient(&sm_challenge_cb)) return 0;

  srv_proc* thread = nullptr;
  if (!sm_findcurrentthread(&thread)) {
    sm_raise(nullptr, 0, SM_MSG_NO_CURRENT_THREAD, "DllMain", 0);
    sm_exitclient();
    return 0;
  }
  if (!sm_loadcmc(thread)) {
    sm_exitclient();
    return 0;
  }

  sm_createworkersync();

  char buffer[100];
  buffer[0] = '\0';
  vel::os::GetEnvironmentVariable("VELMAIL_TIMEOUT", buffer, sizeof(buffer));
  sm_state.timeout = sm_parsetimeout(buffer);

  buffer[0] = '\0';
  vel::os::GetEnvironmentVariable("VELMAIL_CLIENT", buffer, sizeof(buffer));
  if (strcmp(buffer, "LOTUS") == 0) sm_state.list_every_type = 1;
  return 1;
}

// process_ending: the loader's detach as the process ends (reserved not
// null). The process's other threads, the worker among them, are gone by
// then, so no shutdown request is posted (nobody could answer it, and the
// host's exit would wait out the whole time-out), and the worker's lock is
// left alone (a requester that was ended may hold it).
void Detach(bool process_ending) {
  sm_exitclient();
  if (!process_ending && sm_state.thread_id.load() != 0) sm_requestlogoff(SM_SHUTDOWN);
  if (sm_state.cmcdll != nullptr) sm_unloadcmc();
  if (!process_ending) sm_destroyworkersync();
}

}  // namespace

extern "C" int32_t VEL_CDECL sm_challenge_cb(void* a1, void* /*a2*/, int32_t* a3, void* a4,
                                             void* a5, void* a6, void* a7, void* a8) {
  *a3 = 5;
  int32_t one = 1;
  memcpy(static_cast<char*>(a6) + VEL_CHALLENGE_OFFSET_136, &one, sizeof(one));
  int32_t value144;
  memcpy(&value144, static_cast<const char*>(a4) + VEL_CHALLENGE_OFFSET_144, sizeof(value144));
  return com_uninitialize_tds_text(a1, a5, value144, a7, a8) == 1 ? 1 : 0;
}

extern "C" VEL_EXPORT int32_t VEL_STDCALL DllMain(void* /*module*/, uint32_t reason,
                                                  void* reserved) {
  switch (reason) {
    case kReasonAttach:
      sm_state.attached = Attach() == 1;
      return sm_state.attached ? 1 : 0;
    case kReasonDetach:
      if (sm_state.attached) {
        Detach(reserved != nullptr);
        sm_state.attached = false;
      }
      return 1;
    default:
      return 1;  // thread attach and detach
  }
}
