#include "frame/startup.h"

#include <algorithm>
#include <cstring>

#include "frame/errors.h"
#include "mapi/cmcbind.h"
#include "mapi/session.h"
#include "mapi/worker.h"
#include "platform.h"

xp_srv_route_err_fn sm_route_err = nullptr;
char sm_cmcdllname[256] = {};
cs_context* sm_ctx = nullptr;
int32_t sm_timeout = SM_DEFAULT_TIMEOUT;
int32_t sm_lotus = 0;

namespace {

// Detach undoes only an attach that succeeded.
bool sm_attached = false;

constexpr uint32_t kReasonDetach = 0;
constexpr uint32_t kReasonAttach = 1;

int32_t Attach() {
  // Everything is set afresh: a module that stayed mapped keeps its old
  // values between loads.
  sm_route_err = nullptr;
  sm_ctx = nullptr;
  sm_timeout = SM_DEFAULT_TIMEOUT;
  sm_lotus = 0;
  sm_resetworker();
  sm_resetprofile();

  vel::os::Module msgs = vel::os::FindLoadedModule("velmsgs");
  if (msgs == nullptr) {
    sm_log("Velmail: Cannot load msg dll.\n");
    return 0;
  }
  sm_route_err =
      reinterpret_cast<xp_srv_route_err_fn>(vel::os::ModuleSymbol(msgs, "xp_srv_route_err"));
  if (sm_route_err == nullptr) {
    sm_log("Velmail: Cannot find error handler.\n");
    return 0;
  }

  if (vel::os::GetProfileString("Mail", "CMCDLLNAME32", "MAPI32.DLL", sm_cmcdllname,
                                sizeof(sm_cmcdllname)) == 0) {
    strcpy(sm_cmcdllname, "MAPI32.DLL");
  }

  if (!sm_initclient()) return 0;

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
  sm_timeout = sm_parsetimeout(buffer);

  buffer[0] = '\0';
  vel::os::GetEnvironmentVariable("VELMAIL_CLIENT", buffer, sizeof(buffer));
  if (strcmp(buffer, "LOTUS") == 0) sm_lotus = 1;
  return 1;
}

// process_ending: the loader's detach as the process ends (reserved not
// null). The process's other threads, the worker among them, are gone by
// then, so no shutdown request is posted: nobody could answer it, and the
// host's exit would wait out the whole time-out.
void Detach(bool process_ending) {
  sm_exitclient();
  if (!process_ending && sm_thread_id.load() != 0) sm_mailrequest(SM_SHUTDOWN, 0, 0, 0, 0);
  if (sm_cmcdll != nullptr) sm_unloadcmc();
  sm_destroyworkersync();
}

}  // namespace

int32_t sm_parsetimeout(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  int64_t value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + (*p++ - '0');
    if (value > INT32_MAX) value = static_cast<int64_t>(INT32_MAX) + 1;  // stays out of range
  }
  if (negative) value = -value;
  value = std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, value));
  return value == 0 ? SM_DEFAULT_TIMEOUT : static_cast<int32_t>(value);
}

int32_t sm_initclient() {
  if (cs_ctx_alloc(VEL_CS_VERSION, &sm_ctx) != VEL_SUCCEED) {
    sm_log("Velmail: Failed to allocate context structure.\n");
    return 0;
  }
  if (ct_init(sm_ctx, VEL_CS_VERSION) != VEL_SUCCEED) {
    sm_log("Velmail: Failed to initialize Client Library.\n");
    return 0;
  }
  if (ct_callback(sm_ctx, nullptr, VEL_SET, VEL_CB_CHALLENGE,
                  reinterpret_cast<void*>(&sm_challenge_cb)) != VEL_SUCCEED) {
    sm_raise(nullptr, 0, SM_MSG_LIBRARY_CALL_FAILED, "ct_callback", 0);
    sm_raise(sm_currentthread(), 0, SM_MSG_FAILED, nullptr, 0);
    return 0;
  }
  char interfaces[260];
  memset(interfaces, 0, sizeof(interfaces));
  if (srv_props(sm_ctx, VEL_GET, VEL_PROP_IFILE_PATH, interfaces, sizeof(interfaces), nullptr) !=
      VEL_SUCCEED) {
    sm_raise(nullptr, 0, SM_MSG_FAILED, nullptr, 0);
    return 0;
  }
  interfaces[sizeof(interfaces) - 1] = '\0';
  if (ct_config(sm_ctx, VEL_SET, VEL_PROP_IFILE, interfaces, VEL_NULLTERM, nullptr) !=
      VEL_SUCCEED) {
    sm_raise(nullptr, 0, SM_MSG_FAILED, nullptr, 0);
    return 0;
  }
  return 1;
}

void sm_exitclient() {
  bool failed = false;
  if (ct_exit(sm_ctx, VEL_FORCE_EXIT) != VEL_SUCCEED) {
    sm_raise(nullptr, 0, SM_MSG_LIBRARY_CALL_FAILED, "ct_exit", 0);
    failed = true;
  }
  if (cs_ctx_drop(sm_ctx) != VEL_SUCCEED) {
    sm_raise(nullptr, 0, SM_MSG_LIBRARY_CALL_FAILED, "cs_ctx_drop", 0);
    failed = true;
  }
  if (failed) sm_raise(sm_currentthread(), 0, SM_MSG_FAILED, nullptr, 0);
}

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
      sm_attached = Attach() == 1;
      return sm_attached ? 1 : 0;
    case kReasonDetach:
      if (sm_attached) {
        Detach(reserved != nullptr);
        sm_attached = false;
      }
      return 1;
    default:
      return 1;  // thread attach and detach
  }
}
