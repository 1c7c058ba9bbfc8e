#include "frame/startup.h"

#include <algorithm>
#include <cstring>

#include "frame/errors.h"

sm_state_t sm_state;

void sm_resetstate() VEL_NO_THREAD_SAFETY_ANALYSIS {  // attach: no procedure runs
  sm_state.attached = false;
  sm_state.route_err = nullptr;
  memset(sm_state.cmcdllname, 0, sizeof(sm_state.cmcdllname));
  sm_state.ctx = nullptr;
  sm_state.timeout = SM_DEFAULT_TIMEOUT;
  sm_state.list_every_type = 0;
  sm_state.cmcdll = nullptr;
  sm_state.cmcdll_owned = false;
  sm_state.cmc = {};
  memset(sm_state.profile_user, 0, sizeof(sm_state.profile_user));
  memset(sm_state.profile_pwd, 0, sizeof(sm_state.profile_pwd));
  sm_state.session.store(0);
  sm_state.thread_id.store(0);
  sm_state.worker_ready = false;
  sm_state.evt_request.reset();
  sm_state.evt_done.reset();
  sm_state.thread.reset();
  sm_state.reqslot.reset();
}

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

int32_t sm_initclient(sm_challenge_fn challenge) {
  if (cs_ctx_alloc(VEL_CS_VERSION, &sm_state.ctx) != VEL_SUCCEED) {
    sm_log("Velmail: Failed to allocate context structure.\n");
    return 0;
  }
  if (ct_init(sm_state.ctx, VEL_CS_VERSION) != VEL_SUCCEED) {
    sm_log("Velmail: Failed to initialize Client Library.\n");
    return 0;
  }
  if (ct_callback(sm_state.ctx, nullptr, VEL_SET, VEL_CB_CHALLENGE,
                  reinterpret_cast<void*>(challenge)) != VEL_SUCCEED) {
    sm_raise(nullptr, 0, SM_MSG_LIBRARY_CALL_FAILED, "ct_callback", 0);
    sm_raise(sm_currentthread(), 0, SM_MSG_FAILED, nullptr, 0);
    return 0;
  }
  char interfaces[260];
  memset(interfaces, 0, sizeof(interfaces));
  if (srv_props(sm_state.ctx, VEL_GET, VEL_PROP_IFILE_PATH, interfaces, sizeof(interfaces),
                nullptr) != VEL_SUCCEED) {
    sm_raise(nullptr, 0, SM_MSG_FAILED, nullptr, 0);
    return 0;
  }
  interfaces[sizeof(interfaces) - 1] = '\0';
  if (ct_config(sm_state.ctx, VEL_SET, VEL_PROP_IFILE, interfaces, VEL_NULLTERM, nullptr) !=
      VEL_SUCCEED) {
    sm_raise(nullptr, 0, SM_MSG_FAILED, nullptr, 0);
    return 0;
  }
  return 1;
}

void sm_exitclient() {
  bool failed = false;
  if (ct_exit(sm_state.ctx, VEL_FORCE_EXIT) != VEL_SUCCEED) {
    sm_raise(nullptr, 0, SM_MSG_LIBRARY_CALL_FAILED, "ct_exit", 0);
    failed = true;
  }
  if (cs_ctx_drop(sm_state.ctx) != VEL_SUCCEED) {
    sm_raise(nullptr, 0, SM_MSG_LIBRARY_CALL_FAILED, "cs_ctx_drop", 0);
    failed = true;
  }
  if (failed) sm_raise(sm_currentthread(), 0, SM_MSG_FAILED, nullptr, 0);
}
