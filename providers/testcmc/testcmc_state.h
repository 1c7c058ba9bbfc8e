// Shared state of the test providers, kept in the control library so that
// every provider module and the test program see the same one.
#ifndef TESTCMC_STATE_H
#define TESTCMC_STATE_H

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

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
  std::mutex mutex;

  // Programming.
  std::map<std::string, Behaviour> behaviours;  // absent: normal
  uint32_t random_delay_max_ms = 0;
  std::minstd_rand random{12345};
  // Bumped by Release(): a hung call goes on once it differs from the value
  // it saw when it started hanging. Read without the lock while hanging.
  std::atomic<uint64_t> release_generation{0};

  // Record of calls.
  std::vector<RecordedCall> calls;
  uint64_t next_call_id = 1;

  // The mail store.
  std::vector<Message> mailbox;
  // The text note of the last message sent, read when the send completes
  // (after any hang or sleep programmed for it).
  std::string last_sent_note;
  std::set<CMC_session_id> sessions;
  CMC_session_id next_session = 1;
  std::set<void*> blocks;  // handed out, not yet freed

  // Takes one use of the behaviour programmed for entry. Caller holds the
  // lock.
  Behaviour TakeBehaviour(const std::string& entry);
};

State& GlobalState();

}  // namespace testcmc::detail

#endif
