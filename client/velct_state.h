// Process-wide state of the client-library stand-in: the live contexts,
// the call counts and the failure rules. Internal to libvelct.so.
#ifndef VELCT_STATE_H
#define VELCT_STATE_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "velcs.h"
#include "velct_control.h"

// A client context: what ct_init, ct_callback and ct_config set on it.
struct cs_context {
  int32_t version = 0;
  bool initialised = false;
  cs_servermsg_fn server_message = nullptr;
  cs_clientmsg_fn client_message = nullptr;
  cs_challenge_fn challenge = nullptr;
  std::string interfaces_file;
};

namespace velct::detail {

// Which calls of one function fail: the nth call after the rule was set,
// and count - 1 after it (count < 0: every call from the nth on).
class FailRule {
 public:
  FailRule(int64_t nth, int64_t count) : nth_(nth < 1 ? 1 : nth), count_(count) {}
  // Counts one call; true when that call is to fail.
  bool Next() {
    ++seen_;
    return seen_ >= nth_ && (count_ < 0 || seen_ < nth_ + count_);
  }

 private:
  int64_t nth_;
  int64_t count_;
  int64_t seen_ = 0;
};

struct State {
  std::mutex mutex;
  std::map<cs_context*, std::unique_ptr<cs_context>> contexts;
  cs_context* last_allocated = nullptr;
  std::map<std::string, int64_t> counts;
  std::map<std::string, FailRule> failures;
  UninitCall last_uninit;
  int32_t uninit_result = VEL_SUCCEED;
  std::optional<cs_daterec> fixed_time;

  // The context behind a handle, or null when it was never allocated or
  // has been dropped. Caller holds the lock.
  cs_context* Find(cs_context* ctx) const {
    auto it = contexts.find(ctx);
    return it == contexts.end() ? nullptr : it->second.get();
  }
};

State& GlobalState();

// One call of an exported function: holds the state's lock for the call,
// counts it, and tells whether a failure rule makes it fail. A function
// that calls back into the caller (message callbacks) must do so after
// the scope has ended, so that the callback may call in again.
class CallScope {
 public:
  explicit CallScope(const char* function);
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

  bool failed() const { return failed_; }
  State& state() { return state_; }

 private:
  State& state_;
  std::unique_lock<std::mutex> lock_;
  bool failed_ = false;
};

}  // namespace velct::detail

#endif
