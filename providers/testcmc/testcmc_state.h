// Shared state of the test providers, kept in the control library so that
// every provider module and the test program see the same one.
#ifndef TESTCMC_STATE_H
#define TESTCMC_STATE_H

#include <atomic>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "mutex.h"
#include "testcmc/testcmc_control.h"

namespace testcmc::detail {

// The export names, in the order a consumer resolves them.
inline constexpr const char* kEntries[] = {"cmc_logon",   "cmc_logoff", "cmc_free", "cmc_send",
                                           "cmc_look_up", "cmc_list",   "cmc_read", "cmc_act_on"};
bool IsEntry(const std::string& name);

struct RecordedCall {
  uint64_t id;
  Call call;
};

struct State {
  vel::os::Mutex mutex;

  // Programming.
  std::map<std::string, Behaviour> behaviours VEL_GUARDED_BY(mutex);  // absent: normal
  uint32_t random_delay_max_ms VEL_GUARDED_BY(mutex) = 0;
  std::minstd_rand random VEL_GUARDED_BY(mutex){12345};
  // Bumped by Release(): a hung call goes on once it differs from the value
  // it saw when it started hanging. Read without the lock while hanging.
  std::atomic<uint64_t> release_generation{0};

  // Record of calls.
  std::vector<RecordedCall> calls VEL_GUARDED_BY(mutex);
  uint64_t next_call_id VEL_GUARDED_BY(mutex) = 1;

  // The mail store.
  std::vector<Message> mailbox VEL_GUARDED_BY(mutex);
  // The text note of the last message sent, read when the send completes
  // (after any hang or sleep programmed for it).
  std::string last_sent_note VEL_GUARDED_BY(mutex);
  std::set<CMC_session_id> sessions VEL_GUARDED_BY(mutex);
  CMC_session_id next_session VEL_GUARDED_BY(mutex) = 1;
  std::set<void*> blocks VEL_GUARDED_BY(mutex);  // handed out, not yet freed

  // Takes one use of the behaviour programmed for entry. Caller holds the
  // lock.
  Behaviour TakeBehaviour(const std::string& entry) VEL_REQUIRES(mutex);
};

State& GlobalState();

}  // namespace testcmc::detail

#endif
