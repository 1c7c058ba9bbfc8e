// The library's process-wide state, in one record.
//
// Attach resets the whole record (a module that stayed mapped keeps its old
// values from one load to the next) and then fills it; detach empties the
// binding and the worker. Who writes what:
//   settings   attach (and the binding, detach) while no procedure runs;
//              read freely in between
//   profile    xp_srv_set_mailprofile, read by xp_startmail; under
//              profile_lock
//   worker     requesters under worker_lock, and attach and detach; the
//              session id and the worker's thread id are atomics that the
//              live worker writes too (mapi/worker.cc says who wins)
//   generator  the results-file name generator; under generator_lock
#ifndef VELMAIL_FRAME_STATE_H
#define VELMAIL_FRAME_STATE_H

#include <atomic>
#include <cstdint>
#include <memory>

#include "cmc.h"
#include "platform.h"
#include "velmsgs.h"
#include "velsrv.h"

constexpr int32_t SM_DEFAULT_TIMEOUT = 60000;
constexpr int32_t SM_PROFILE_SIZE = 32;

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

// The worker's request slot (mapi/worker.cc).
struct sm_reqslot_t;

struct sm_state_t {
  // ----------------------------------------------------------- settings
  bool attached = false;                    // attach succeeded: detach undoes it
  xp_srv_route_err_fn route_err = nullptr;  // the host's error router
  char cmcdllname[256] = {};                // the provider's module name
  cs_context* ctx = nullptr;                // the client-library context
  int32_t timeout = SM_DEFAULT_TIMEOUT;     // mail request time-out, milliseconds
  int32_t list_every_type = 0;              // 1 (VELMAIL_CLIENT=LOTUS): list messages of every type
  void* cmcdll = nullptr;                   // the provider module; null while none is bound
  bool cmcdll_owned = false;                // the library took a reference on it
  sm_cmcentries cmc = {};                   // its entry points

  // ------------------------------------------------------------ profile
  vel::os::CriticalSection profile_lock;
  char profile_user[SM_PROFILE_SIZE] VEL_GUARDED_BY(profile_lock) = {};  // empty until set
  char profile_pwd[SM_PROFILE_SIZE] VEL_GUARDED_BY(profile_lock) = {};   // in clear

  // ------------------------------------------------------------- worker
  std::atomic<uint32_t> session{0};      // the CMC session id; 0 while none is open
  std::atomic<uint32_t> thread_id{0};    // the live worker's; 0 while none runs
  vel::os::CriticalSection worker_lock;  // held for the whole of each request
  bool worker_ready VEL_GUARDED_BY(worker_lock) = false;                    // the events exist
  std::shared_ptr<vel::os::Event> evt_request VEL_GUARDED_BY(worker_lock);  // the live worker's
  std::shared_ptr<vel::os::Event> evt_done VEL_GUARDED_BY(worker_lock);
  std::unique_ptr<vel::os::Thread> thread VEL_GUARDED_BY(worker_lock);
  std::shared_ptr<sm_reqslot_t> reqslot VEL_GUARDED_BY(worker_lock);

  // ---------------------------------------------------------- generator
  vel::os::CriticalSection generator_lock;  // a seed and its draws go together
};

extern sm_state_t sm_state;

// Puts every field back to its initial value (at attach).
void sm_resetstate();

#endif
