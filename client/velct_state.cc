// The stand-in's shared state and the control API that tests and the host
// program use to steer it.
#include "velct_state.h"

namespace velct {
namespace detail {

State& GlobalState() {
  // Never destroyed: calls may still arrive from threads that outlive
  // static destruction.
  static State* state = new State;
  return *state;
}

CallScope::CallScope(std::string_view function) : state_(GlobalState()), lock_(state_.mutex) {
  auto count = state_.counts.find(function);
  if (count == state_.counts.end())
    state_.counts.emplace(std::string(function), 1);
  else
    ++count->second;
  auto rule = state_.failures.find(function);
  failed_ = rule != state_.failures.end() && rule->second.Next();
}

void State::Drop(cs_command* cmd) {
  auto it = commands.find(cmd);
  if (it == commands.end()) return;
  if (cs_connection* con = Find(it->second->connection)) con->commands.erase(cmd);
  commands.erase(it);
}

void State::Drop(cs_connection* con) {
  auto it = connections.find(con);
  if (it == connections.end()) return;
  // Commands go first: their result streams read from the session.
  const std::set<cs_command*> owned = it->second->commands;
  for (cs_command* cmd : owned) Drop(cmd);
  connections.erase(it);
}

void State::DropConnectionsOf(cs_context* ctx) {
  std::vector<cs_connection*> doomed;
  for (const auto& [handle, con] : connections)
    if (con->context == ctx) doomed.push_back(handle);
  for (cs_connection* con : doomed) Drop(con);
}

}  // namespace detail

using detail::GlobalState;

void Fail(const std::string& function, int64_t nth, int64_t count) {
  auto& state = GlobalState();
  std::lock_guard lock(state.mutex);
  state.failures.insert_or_assign(function, detail::FailRule(nth, count));
}

void ClearFailures() {
  auto& state = GlobalState();
  std::lock_guard lock(state.mutex);
  state.failures.clear();
}

int64_t CallCount(const std::string& function) {
  auto& state = GlobalState();
  std::lock_guard lock(state.mutex);
  auto it = state.counts.find(function);
  return it == state.counts.end() ? 0 : it->second;
}

int64_t LiveConnections() {
  auto& state = GlobalState();
  std::lock_guard lock(state.mutex);
  return static_cast<int64_t>(state.connections.size());
}

int64_t LiveCommands() {
  auto& state = GlobalState();
  std::lock_guard lock(state.mutex);
  return static_cast<int64_t>(state.commands.size());
}

void ResetCounts() {
  auto& state = GlobalState();
  std::lock_guard lock(state.mutex);
  state.counts.clear();
  state.last_uninit = UninitCall{};
}

int64_t LiveContexts() {
  auto& state = GlobalState();
  std::lock_guard lock(state.mutex);
  return static_cast<int64_t>(state.contexts.size());
}

cs_context* LastContext() {
  auto& state = GlobalState();
  std::lock_guard lock(state.mutex);
  return state.Find(state.last_allocated) != nullptr ? state.last_allocated : nullptr;
}

std::string InterfacesFile(cs_context* ctx) {
  auto& state = GlobalState();
  std::lock_guard lock(state.mutex);
  const cs_context* context = state.Find(ctx);
  return context ? context->interfaces_file : std::string();
}

bool Initialised(cs_context* ctx) {
  auto& state = GlobalState();
  std::lock_guard lock(state.mutex);
  const cs_context* context = state.Find(ctx);
  return context && context->initialised;
}

cs_challenge_fn ChallengeCallback(cs_context* ctx) {
  auto& state = GlobalState();
  std::lock_guard lock(state.mutex);
  const cs_context* context = state.Find(ctx);
  return context ? context->challenge : nullptr;
}

UninitCall LastUninitCall() {
  auto& state = GlobalState();
  std::lock_guard lock(state.mutex);
  return state.last_uninit;
}

void SetUninitResult(int32_t result) {
  auto& state = GlobalState();
  std::lock_guard lock(state.mutex);
  state.uninit_result = result;
}

void SetFixedTime(const cs_daterec* rec) {
  auto& state = GlobalState();
  std::lock_guard lock(state.mutex);
  if (rec)
    state.fixed_time = *rec;
  else
    state.fixed_time.reset();
}

}  // namespace velct

namespace velct::detail {

std::atomic<FetchProgress>& ProgressCallback() {
  static std::atomic<FetchProgress> callback{nullptr};
  return callback;
}

std::atomic<int64_t>& ProgressEvery() {
  static std::atomic<int64_t> every{0};
  return every;
}

}  // namespace velct::detail

namespace velct {

void SetFetchProgress(FetchProgress callback, int64_t every) {
  detail::ProgressEvery().store(every > 0 ? every : 0);
  detail::ProgressCallback().store(every > 0 ? callback : nullptr);
}

}  // namespace velct
