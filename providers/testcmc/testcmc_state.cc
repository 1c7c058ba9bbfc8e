// The control API: programming the entry points, reading back their calls
// and filling the mailbox.
#include "testcmc/testcmc_state.h"

#include <algorithm>
#include <stdexcept>

#include "testcmc/testcmc_internal.h"

namespace testcmc {
namespace detail {

bool IsEntry(const std::string& name) {
  return std::find(std::begin(kEntries), std::end(kEntries), name) != std::end(kEntries);
}

State& GlobalState() {
  // Never destroyed: a provider thread that was given up may still call in
  // while the process exits.
  static State* state = new State;
  return *state;
}

Behaviour State::TakeBehaviour(const std::string& entry) {
  auto it = behaviours.find(entry);
  if (it == behaviours.end()) return Behaviour{};
  Behaviour taken = it->second;
  if (taken.times > 0 && --it->second.times == 0) behaviours.erase(it);
  return taken;
}

}  // namespace detail

using detail::GlobalState;

void Program(const std::string& entry, Behaviour behaviour) {
  if (!detail::IsEntry(entry)) throw std::invalid_argument("no CMC entry point named " + entry);
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  if (behaviour.times == 0)
    state.behaviours.erase(entry);
  else
    state.behaviours[entry] = behaviour;
}

void RandomDelays(uint32_t max_ms) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  state.random_delay_max_ms = max_ms;
}

void Release() { ++GlobalState().release_generation; }

void Reset() {
  auto& state = GlobalState();
  {
    vel::os::MutexLock lock(state.mutex);
    state.behaviours.clear();
    state.random_delay_max_ms = 0;
    state.calls.clear();
    state.mailbox.clear();
    state.last_sent_note.clear();
    state.sessions.clear();
    state.next_session = 1;
    // Blocks already handed out stay valid and tracked: their holder may
    // still read them and give them back.
  }
  Release();
}

std::vector<Call> Calls() {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  std::vector<Call> calls;
  calls.reserve(state.calls.size());
  for (const auto& recorded : state.calls) calls.push_back(recorded.call);
  return calls;
}

int64_t CallCount(const std::string& entry) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  return std::count_if(state.calls.begin(), state.calls.end(),
                       [&](const detail::RecordedCall& r) { return r.call.entry == entry; });
}

void SetMailbox(std::vector<Message> messages) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  state.mailbox = std::move(messages);
}

std::vector<Message> Mailbox() {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  return state.mailbox;
}

int64_t OpenSessions() {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  return static_cast<int64_t>(state.sessions.size());
}

std::string LastSentNote() {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  return state.last_sent_note;
}

int64_t OutstandingBlocks() {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  return static_cast<int64_t>(state.blocks.size());
}

}  // namespace testcmc
