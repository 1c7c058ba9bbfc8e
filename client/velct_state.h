// The stand-in's process-wide state: contexts, connections and commands,
// the call counts, the failure rules and the scripted servers. Internal to
// libvelct.so.
//
// Locks. Each connection has its own lock (cs_connection::mutex); the rest
// of the process shares one (State::mutex). Who holds what:
//
// - A connection's lock guards the connection and every command it owns:
//   properties, callbacks, session, results, bindings. A call on a
//   connection or on one of its commands holds it for the whole call, the
//   wait for the server included, so calls on one connection run one at a
//   time and calls on different connections run side by side.
// - The shared lock guards the registry of handles, the contexts' fields
//   (but their callbacks, which are atomic), the failure rules, the
//   scripted servers and the rest of the control state. It is held only
//   for short steps, never across a wait for a server.
// - Order: a connection's lock, then its session lock, then the shared
//   lock. Nobody takes a connection's lock while holding the shared lock
//   or another connection's lock.
// - Call counts are atomic counters; a call looks at the failure rules
//   (under the shared lock) only when a rule for its function is set.
// - Messages are delivered after every lock is released (velct_call.h).
//
// Handles. Contexts, connections and commands are never given back to the
// heap: a dropped one is kept, marked dead, for a later allocation of the
// same kind. So a handle, once allocated, always points to a readable
// record of its kind, and a call that raced with a drop finds it dead
// under the connection's lock rather than reading freed memory. A pointer
// that never was a handle is told apart by the registry; each thread
// remembers the last command and connection it found there, so a loop of
// calls on one command looks nothing up.
//
// Who wins when a connection (or command) is dropped while another thread
// uses it: the call in progress ends first (a call waiting for a server is
// interrupted, see ct_cancel), and every call that comes after the drop
// fails without effect. A drop reused by a new allocation makes the old
// handle name the new record, as a freed and reused address would.
#ifndef VELCT_STATE_H
#define VELCT_STATE_H

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "mutex.h"
#include "velcs.h"
#include "velct_control.h"
#include "velct_results.h"
#include "velct_script.h"

// A client context: what ct_init, ct_callback and ct_config set on it.
// Fields under the shared lock; the message callbacks are read without it
// by the connections' calls. The shared lock is another record's member
// (State::mutex), which the analysis cannot name from here, so these fields
// carry no annotation.
struct cs_context {
  int32_t version = 0;
  bool initialised = false;
  std::atomic<cs_servermsg_fn> server_message{nullptr};
  std::atomic<cs_clientmsg_fn> client_message{nullptr};
  cs_challenge_fn challenge = nullptr;
  std::string interfaces_file;
};

// A connection: its properties, its callbacks and, while connected, the
// server end that answers its batches. Everything but the atomics is under
// mutex. The fields carry no annotation: every call reaches them through a
// HeldConnection, which holds mutex or is empty, decided at run time, and
// the analysis (clang 14) follows neither that nor a lock asserted through
// the holder's operator->; the locking of these fields is told here and in
// HeldConnection instead.
struct cs_connection {
  vel::os::Mutex mutex;
  // The context it belongs to; null while the record is not a live
  // connection. Written under mutex.
  std::atomic<cs_context*> context{nullptr};
  std::string user_name;
  std::string password;
  std::vector<unsigned char> user_data;  // opaque bytes, as the caller set them
  int32_t prop_9136 = 0;
  cs_servermsg_fn server_message = nullptr;
  cs_clientmsg_fn client_message = nullptr;
  std::string server_name;  // while connected
  // Null while not connected. Replaced under mutex and session_mutex both,
  // so that a canceller holding session_mutex alone may interrupt it.
  std::unique_ptr<velct::detail::Session> session;
  vel::os::Mutex session_mutex;
  std::set<cs_command*> commands;
  // The command whose call holds mutex now (null between calls), and the
  // one a canceller has interrupted: that call gives up its results.
  std::atomic<cs_command*> busy{nullptr};
  std::atomic<cs_command*> interrupted{nullptr};
};

// Where a command stands: ct_command initiates it, ct_send makes its
// results readable, and the last ct_results (or a cancel) makes it idle.
enum class CommandPhase { kIdle, kInitiated, kSent };

// A command; everything but `connection` is under its connection's lock
// (reached through that atomic pointer, so the analysis cannot name it and
// the fields carry no annotation; they are reached only through HeldCommand).
struct cs_command {
  // The connection that owns it; null while the record is not a live
  // command. Written under that connection's lock.
  std::atomic<cs_connection*> connection{nullptr};
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

// The exported functions, for their call counts and failure rules.
enum class Fn : int {
  kCsCtxAlloc,
  kCsCtxDrop,
  kCsTime,
  kComUninitializeTdsText,
  kCtInit,
  kCtExit,
  kCtCallback,
  kCtConfig,
  kCtConAlloc,
  kCtConProps,
  kCtConnect,
  kCtClose,
  kCtConDrop,
  kCtCmdAlloc,
  kCtCommand,
  kCtSend,
  kCtResults,
  kCtResInfo,
  kCtDescribe,
  kCtBind,
  kCtFetch,
  kCtCancel,
  kCtCmdDrop,
  kCount
};
constexpr size_t kFunctions = static_cast<size_t>(Fn::kCount);

// The exported name of a function; the function of a name, or null.
std::string_view FunctionName(Fn fn);
std::optional<Fn> FunctionNamed(std::string_view name);

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

// Records of one kind: every one ever made (never freed, see "Handles"
// above), the live ones and the free ones. Under the shared lock (State's
// members of this type are guarded by it).
template <class T>
class Slots {
 public:
  // A record for a new handle: a free one, or a new one. Null when none
  // can be had.
  T* Take() {
    try {
      if (free_.empty()) {
        auto made = std::make_unique<T>();
        free_.reserve(all_.size() + 1);  // room for every record, given back
        T* slot = made.get();
        all_.emplace(slot, std::move(made));
        free_.push_back(slot);
      }
      live_.insert(free_.back());
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    T* slot = free_.back();
    free_.pop_back();
    return slot;
  }
  // Back to the free records; false when it was not live.
  bool Give(T* slot) {
    if (live_.erase(slot) == 0) return false;
    free_.push_back(slot);  // never beyond the room Take made
    return true;
  }
  // Whether the pointer is a record of this kind (live or not).
  bool Made(const T* slot) const { return all_.count(const_cast<T*>(slot)) != 0; }
  bool Live(const T* slot) const { return live_.count(const_cast<T*>(slot)) != 0; }
  const std::set<T*>& live() const { return live_; }

 private:
  std::map<T*, std::unique_ptr<T>> all_;
  std::set<T*> live_;
  std::vector<T*> free_;
};

// Without the lock: calls per function, and whether a failure rule is set
// for it (the rule itself is read under the shared lock).
struct CallTally {
  std::array<std::atomic<int64_t>, kFunctions> counts{};
  std::array<std::atomic<bool>, kFunctions> armed{};
};
inline CallTally g_calls;

struct State {
  vel::os::Mutex mutex;  // the shared lock
  Slots<cs_context> contexts VEL_GUARDED_BY(mutex);
  Slots<cs_connection> connections VEL_GUARDED_BY(mutex);
  Slots<cs_command> commands VEL_GUARDED_BY(mutex);
  cs_context* last_allocated VEL_GUARDED_BY(mutex) = nullptr;
  std::map<std::string, FailRule, std::less<>> failures VEL_GUARDED_BY(mutex);
  UninitCall last_uninit VEL_GUARDED_BY(mutex);
  int32_t uninit_result VEL_GUARDED_BY(mutex) = VEL_SUCCEED;
  std::optional<cs_daterec> fixed_time VEL_GUARDED_BY(mutex);
  std::map<std::string, Script> scripted_servers VEL_GUARDED_BY(mutex);
  std::map<std::string, std::vector<std::string>> received_batches VEL_GUARDED_BY(mutex);

  // The live context behind a handle, or null. Caller holds the lock.
  cs_context* Find(cs_context* ctx) const VEL_REQUIRES(mutex) {
    return contexts.Live(ctx) ? ctx : nullptr;
  }

  // Installs or clears failure rules. Caller holds the lock.
  void SetFailure(const std::string& function, FailRule rule) VEL_REQUIRES(mutex);
  void ClearFailures() VEL_REQUIRES(mutex);
};

State& GlobalState();

// Progress reports of long fetches (velct::SetFetchProgress).
inline std::atomic<FetchProgress> g_progress{nullptr};
inline std::atomic<int64_t> g_progress_every{0};

// Counts one call of fn; true when a failure rule makes it fail.
bool RuleFails(Fn fn);
inline bool CallFails(Fn fn) {
  const auto i = static_cast<size_t>(fn);
  g_calls.counts[i].fetch_add(1, std::memory_order_relaxed);
  return g_calls.armed[i].load(std::memory_order_acquire) && RuleFails(fn);
}

// Whether the pointer is a connection's or command's record, that is,
// whether it may be read (its liveness is then checked under the
// connection's lock).
bool IsConnectionRecord(cs_connection* con);
bool IsCommandRecord(cs_command* cmd);

// A live connection, held: its lock is taken for as long as this lives.
// Empty when the handle is no live connection.
class HeldConnection {
 public:
  explicit HeldConnection(cs_connection* con);
  // For calls that end results (a cancel, a forced close, a drop): when
  // another call holds the connection and serves `target` (any command,
  // for null), that call is interrupted first.
  HeldConnection(cs_connection* con, cs_command* target);
  // For a connection known to be a record (a command's).
  enum KnownRecord { kKnownRecord };
  HeldConnection(cs_connection* con, cs_command* target, bool interrupt, KnownRecord);
  ~HeldConnection();
  HeldConnection(const HeldConnection&) = delete;
  HeldConnection& operator=(const HeldConnection&) = delete;

  explicit operator bool() const { return con_ != nullptr; }
  cs_connection* get() const { return con_; }
  cs_connection* operator->() const { return con_; }
  // Marks the call as serving cmd, so that a canceller can find it.
  void Serve(cs_command* cmd) { con_->busy.store(cmd, std::memory_order_release); }
  // Whether a canceller has interrupted the call on cmd.
  bool Interrupted(cs_command* cmd) const {
    return con_->interrupted.load(std::memory_order_acquire) == cmd;
  }

 private:
  void Lock(cs_connection* con, cs_command* target, bool interrupt);
  cs_connection* con_ = nullptr;
};

// A live command, held through its connection's lock; empty when the
// handle is no live command. The call is marked as serving the command.
class HeldCommand {
 public:
  explicit HeldCommand(cs_command* cmd, bool for_cancel = false);
  HeldCommand(const HeldCommand&) = delete;
  HeldCommand& operator=(const HeldCommand&) = delete;

  explicit operator bool() const { return cmd_ != nullptr; }
  cs_command* get() const { return cmd_; }
  cs_command* operator->() const { return cmd_; }
  HeldConnection& connection() { return *con_; }

 private:
  std::optional<HeldConnection> con_;
  cs_command* cmd_ = nullptr;
};

// Drops a command or a connection (with its commands). Caller holds the
// connection; the shared lock is taken here.
void DropCommand(HeldConnection& con, cs_command* cmd);
void DropConnection(HeldConnection& con);

// Closes and drops every connection of a context, one at a time. Called
// without any lock.
void DropConnectionsOf(cs_context* ctx);

}  // namespace velct::detail

#endif
