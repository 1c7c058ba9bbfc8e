// The stand-in's process-wide state: contexts, connections and commands,
// the call counts, the failure rules and the scripted servers. Internal to
// libvelct.so.
#ifndef VELCT_STATE_H
#define VELCT_STATE_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "velcs.h"
#include "velct_control.h"
#include "velct_results.h"
#include "velct_script.h"

// A client context: what ct_init, ct_callback and ct_config set on it.
struct cs_context {
  int32_t version = 0;
  bool initialised = false;
  cs_servermsg_fn server_message = nullptr;
  cs_clientmsg_fn client_message = nullptr;
  cs_challenge_fn challenge = nullptr;
  std::string interfaces_file;
};

// A connection: its properties, its callbacks and, while connected, the
// server end that answers its batches.
struct cs_connection {
  cs_context* context = nullptr;
  std::string user_name;
  std::string password;
  std::vector<unsigned char> user_data;  // opaque bytes, as the caller set them
  int32_t prop_9136 = 0;
  cs_servermsg_fn server_message = nullptr;
  cs_clientmsg_fn client_message = nullptr;
  std::string server_name;                          // while connected
  std::unique_ptr<velct::detail::Session> session;  // null while not connected
  std::set<cs_command*> commands;
};

// Where a command stands: ct_command initiates it, ct_send makes its
// results readable, and the last ct_results (or a cancel) makes it idle.
enum class CommandPhase { kIdle, kInitiated, kSent };

// One bound column: where ct_fetch delivers the column's value.
struct Binding {
  bool bound = false;
  int32_t datatype = 0;
  int32_t maxlength = 0;
  void* buffer = nullptr;
  int32_t* copied = nullptr;
  int16_t* indicator = nullptr;
};

struct cs_command {
  cs_connection* connection = nullptr;
  CommandPhase phase = CommandPhase::kIdle;
  std::string text;
  std::unique_ptr<velct::detail::ResultStream> results;
  bool has_result = false;  // a result has been delivered and is current
  bool rows_ended = false;  // ct_fetch has returned end of data for it
  int64_t rows_fetched = 0;
  std::vector<Binding> bindings;  // one per column of the current result

  // Drops whatever results are pending, with their bindings.
  void EndResults();
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

template <class T>
using Owned = std::map<T*, std::unique_ptr<T>>;

struct State {
  std::mutex mutex;
  Owned<cs_context> contexts;
  Owned<cs_connection> connections;
  Owned<cs_command> commands;
  cs_context* last_allocated = nullptr;
  // Transparent comparators: counting a call looks the name up without
  // building a string.
  std::map<std::string, int64_t, std::less<>> counts;
  std::map<std::string, FailRule, std::less<>> failures;
  UninitCall last_uninit;
  int32_t uninit_result = VEL_SUCCEED;
  std::optional<cs_daterec> fixed_time;
  std::map<std::string, Script> scripted_servers;
  std::map<std::string, std::vector<std::string>> received_batches;

  // The object behind a handle, or null when it was never allocated or
  // has been dropped. Caller holds the lock.
  template <class T>
  static T* FindIn(const Owned<T>& owned, T* handle) {
    auto it = owned.find(handle);
    return it == owned.end() ? nullptr : it->second.get();
  }
  cs_context* Find(cs_context* ctx) const { return FindIn(contexts, ctx); }
  cs_connection* Find(cs_connection* con) const { return FindIn(connections, con); }
  cs_command* Find(cs_command* cmd) const { return FindIn(commands, cmd); }

  // Drops a command, a connection (with its commands) or every connection
  // of a context. Caller holds the lock.
  void Drop(cs_command* cmd);
  void Drop(cs_connection* con);
  void DropConnectionsOf(cs_context* ctx);
};

State& GlobalState();

// Progress reports of long fetches (velct::SetFetchProgress).
std::atomic<FetchProgress>& ProgressCallback();
std::atomic<int64_t>& ProgressEvery();

// One call of an exported function: holds the state's lock for the call,
// counts it, and tells whether a failure rule makes it fail. A function
// that calls back into the caller (message callbacks) must do so after
// the scope has ended, so that the callback may call in again.
class CallScope {
 public:
  explicit CallScope(std::string_view function);
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
