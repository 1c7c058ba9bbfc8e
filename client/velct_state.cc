// The stand-in's shared state and the control API that tests and the host
// program use to steer it.
#include "velct_state.h"

namespace velct {
namespace detail {

namespace {

constexpr std::array<std::string_view, kFunctions> kNames = {
    "cs_ctx_alloc", "cs_ctx_drop",  "cs_time",     "com_uninitialize_tds_text",
    "ct_init",      "ct_exit",      "ct_callback", "ct_config",
    "ct_con_alloc", "ct_con_props", "ct_connect",  "ct_close",
    "ct_con_drop",  "ct_cmd_alloc", "ct_command",  "ct_send",
    "ct_results",   "ct_res_info",  "ct_describe", "ct_bind",
    "ct_fetch",     "ct_cancel",    "ct_cmd_drop"};

}  // namespace

std::string_view FunctionName(Fn fn) { return kNames[static_cast<size_t>(fn)]; }

std::optional<Fn> FunctionNamed(std::string_view name) {
  for (size_t i = 0; i < kFunctions; ++i)
    if (kNames[i] == name) return static_cast<Fn>(i);
  return std::nullopt;
}

State& GlobalState() {
  // Never destroyed: calls may still arrive from threads that outlive
  // static destruction.
  static State* state = new State;
  return *state;
}

void State::SetFailure(const std::string& function, FailRule rule) {
  failures.insert_or_assign(function, rule);
  if (auto fn = FunctionNamed(function)) g_calls.armed[static_cast<size_t>(*fn)].store(true);
}

void State::ClearFailures() {
  failures.clear();
  for (auto& flag : g_calls.armed) flag.store(false);
}

bool RuleFails(Fn fn) {
  State& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  auto rule = state.failures.find(FunctionName(fn));
  return rule != state.failures.end() && rule->second.Next();
}

// The last record each thread found in the registry: records are never
// freed, so it stays one for good.
bool IsConnectionRecord(cs_connection* con) {
  static thread_local cs_connection* known = nullptr;
  if (con == known && con) return true;
  State& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  if (!state.connections.Made(con)) return false;
  known = con;
  return true;
}

bool IsCommandRecord(cs_command* cmd) {
  static thread_local cs_command* known = nullptr;
  if (cmd == known && cmd) return true;
  State& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  if (!state.commands.Made(cmd)) return false;
  known = cmd;
  return true;
}

HeldConnection::HeldConnection(cs_connection* con) {
  if (IsConnectionRecord(con)) Lock(con, nullptr, false);
}

HeldConnection::HeldConnection(cs_connection* con, cs_command* target) {
  if (IsConnectionRecord(con)) Lock(con, target, true);
}

HeldConnection::HeldConnection(cs_connection* con, cs_command* target, bool interrupt,
                               KnownRecord) {
  Lock(con, target, interrupt);
}

namespace {

// Tells the call that holds con, when it serves target (any command, for
// null), to give up, and asks the server to stop what it runs, so that a
// call waiting for it comes back now. Returns the command interrupted, or
// null. Runs without con->mutex (another call holds it): the session is
// read under session_mutex alone, which every writer of it also holds.
cs_command* InterruptBusy(cs_connection* con, cs_command* target) {
  cs_command* busy = con->busy.load(std::memory_order_acquire);
  if (!busy || (target && busy != target)) return nullptr;
  con->interrupted.store(busy, std::memory_order_release);
  vel::os::MutexLock session(con->session_mutex);
  if (con->session) con->session->Interrupt();
  return busy;
}

}  // namespace

// The lock taken here is handed over to the object (released by the
// destructor) only when the connection is live, a choice made at run time
// that the analysis cannot follow.
void HeldConnection::Lock(cs_connection* con, cs_command* target,
                          bool interrupt) VEL_NO_THREAD_SAFETY_ANALYSIS {
  std::unique_lock lock(con->mutex, std::defer_lock);
  cs_command* interrupted = nullptr;
  // Another call holds the connection: when it serves the command to be
  // ended, it is interrupted.
  if (interrupt && !lock.try_lock()) interrupted = InterruptBusy(con, target);
  if (!lock.owns_lock()) lock.lock();
  // The interrupted call has ended (or never saw it); what comes next is
  // not interrupted.
  if (interrupted) con->interrupted.compare_exchange_strong(interrupted, nullptr);
  if (!con->context.load(std::memory_order_acquire)) return;  // dropped
  lock.release();
  con_ = con;
}

// Releases the lock Lock handed over (see there).
HeldConnection::~HeldConnection() VEL_NO_THREAD_SAFETY_ANALYSIS {
  if (!con_) return;
  con_->busy.store(nullptr, std::memory_order_release);
  con_->mutex.unlock();
}

HeldCommand::HeldCommand(cs_command* cmd, bool for_cancel) {
  if (!IsCommandRecord(cmd)) return;
  cs_connection* con = cmd->connection.load(std::memory_order_acquire);
  if (!con) return;
  // A command's connection is a connection's record for good.
  con_.emplace(con, for_cancel ? cmd : nullptr, for_cancel, HeldConnection::kKnownRecord);
  if (!*con_ || cmd->connection.load(std::memory_order_acquire) != con) {
    con_.reset();  // dropped meanwhile
    return;
  }
  cmd_ = cmd;
  con_->Serve(cmd);
}

void DropCommand(HeldConnection& con, cs_command* cmd) {
  cmd->EndResults();
  cmd->text.clear();
  cmd->text.shrink_to_fit();
  cmd->rows_ended = false;
  cmd->rows_fetched = 0;
  con->commands.erase(cmd);
  cmd->connection.store(nullptr, std::memory_order_release);
  State& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  state.commands.Give(cmd);
}

void DropConnection(HeldConnection& con) {
  // Commands go first: their result streams read from the session.
  const std::set<cs_command*> owned = con->commands;
  for (cs_command* cmd : owned) DropCommand(con, cmd);
  {
    vel::os::MutexLock session(con->session_mutex);
    con->session.reset();
  }
  con->server_name.clear();
  con->user_name.clear();
  con->password.clear();
  con->user_data.clear();
  con->prop_9136 = 0;
  con->server_message = nullptr;
  con->client_message = nullptr;
  con->context.store(nullptr, std::memory_order_release);
  State& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  state.connections.Give(con.get());
}

void DropConnectionsOf(cs_context* ctx) {
  std::vector<cs_connection*> doomed;
  {
    State& state = GlobalState();
    vel::os::MutexLock lock(state.mutex);
    for (cs_connection* con : state.connections.live())
      if (con->context.load(std::memory_order_acquire) == ctx) doomed.push_back(con);
  }
  for (cs_connection* con : doomed) {
    HeldConnection held(con, nullptr);
    if (held && held->context.load(std::memory_order_relaxed) == ctx) DropConnection(held);
  }
}

}  // namespace detail

using detail::GlobalState;

void Fail(const std::string& function, int64_t nth, int64_t count) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  state.SetFailure(function, detail::FailRule(nth, count));
}

void ClearFailures() {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  state.ClearFailures();
}

int64_t CallCount(const std::string& function) {
  auto fn = detail::FunctionNamed(function);
  return fn ? detail::g_calls.counts[static_cast<size_t>(*fn)].load() : 0;
}

int64_t LiveConnections() {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  return static_cast<int64_t>(state.connections.live().size());
}

int64_t LiveCommands() {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  return static_cast<int64_t>(state.commands.live().size());
}

void ResetCounts() {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  for (auto& count : detail::g_calls.counts) count.store(0);
  state.last_uninit = UninitCall{};
}

int64_t LiveContexts() {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  return static_cast<int64_t>(state.contexts.live().size());
}

cs_context* LastContext() {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  return state.Find(state.last_allocated) != nullptr ? state.last_allocated : nullptr;
}

std::string InterfacesFile(cs_context* ctx) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  const cs_context* context = state.Find(ctx);
  return context ? context->interfaces_file : std::string();
}

bool Initialised(cs_context* ctx) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  const cs_context* context = state.Find(ctx);
  return context && context->initialised;
}

cs_challenge_fn ChallengeCallback(cs_context* ctx) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  const cs_context* context = state.Find(ctx);
  return context ? context->challenge : nullptr;
}

UninitCall LastUninitCall() {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  return state.last_uninit;
}

void SetUninitResult(int32_t result) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  state.uninit_result = result;
}

void SetFixedTime(const cs_daterec* rec) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  if (rec)
    state.fixed_time = *rec;
  else
    state.fixed_time.reset();
}

}  // namespace velct

namespace velct {

void SetFetchProgress(FetchProgress callback, int64_t every) {
  detail::g_progress_every.store(every > 0 ? every : 0);
  detail::g_progress.store(every > 0 ? callback : nullptr);
}

}  // namespace velct
