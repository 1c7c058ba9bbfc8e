#include "mapi/worker.h"

#include <memory>

#include "cmc.h"
#include "frame/errors.h"
#include "frame/startup.h"
#include "mapi/cmcbind.h"
#include "mapi/requestcopy.h"
#include "platform.h"

std::atomic<uint32_t> sm_session{0};
std::atomic<uint32_t> sm_thread_id{0};

namespace {

using vel::os::Event;

// Where a request stands. The requester posts it; the worker takes it and,
// when the provider comes back, claims its completion. A requester whose
// wait ran out gives the worker up instead: whichever of claim and give-up
// comes first wins, so a worker that was given up never publishes anything
// and a late completion can never answer a later request.
enum RequestState : int { kPosted, kRunning, kDone, kAbandoned };

}  // namespace

// The request slot. Each worker has its own; the live worker's is the
// process's slot (sm_reqslot). A worker that was cut off keeps its old slot,
// so whatever it does if it ever comes back touches nothing a later request
// uses.
struct sm_reqslot_t {
  int32_t code = 0;
  intptr_t first = 0, second = 0, third = 0, fourth = 0;
  int32_t result = 0;

  std::atomic<int> state{kDone};
  // The provider's entry points and the session id as they were when the
  // request was posted: the worker reads no shared state of its own.
  sm_cmcentries entries = {};
  sm_requestcopy inputs;  // what first to third point to, for the worker
  // What the provider writes back goes here first; the requester copies it
  // out once the request has completed.
  CMC_uint32 count = 0;
  void* out = nullptr;
  CMC_session_id session = 0;
  bool clear_session = false;
  bool shutdown = false;

  std::shared_ptr<Event> wake;  // this worker's request event
  std::shared_ptr<Event> done;  // the completion event
};

namespace {

std::unique_ptr<vel::os::CriticalSection> sm_lock;
std::shared_ptr<Event> sm_evt_request;
std::shared_ptr<Event> sm_evt_done;
std::unique_ptr<vel::os::Thread> sm_thread;
std::shared_ptr<sm_reqslot_t> sm_reqslot;

// Makes the provider call of a request. Runs under the fault guard, so it
// does nothing but the call.
void CallProvider(void* arg) {
  auto* slot = static_cast<sm_reqslot_t*>(arg);
  switch (slot->code) {
    case SM_LOGON:
      slot->result = static_cast<int32_t>(slot->entries.logon(
          nullptr, reinterpret_cast<CMC_string>(slot->first),
          reinterpret_cast<CMC_string>(slot->second), nullptr, 0, CMC_VERSION, 0, &slot->session,
          reinterpret_cast<CMC_extension*>(slot->third)));
      break;
    case SM_SEND:
      slot->result = static_cast<int32_t>(
          slot->entries.send(slot->session, reinterpret_cast<CMC_message*>(slot->first), 0, 0, nullptr));
      break;
    case SM_LOGOFF:
    case SM_SHUTDOWN:
      slot->result = static_cast<int32_t>(slot->entries.logoff(slot->session, 0, 0, nullptr));
      slot->clear_session = true;  // only once the call has come back
      break;
    case SM_LIST:
      slot->result = static_cast<int32_t>(slot->entries.list(
          slot->session, reinterpret_cast<CMC_string>(slot->first),
          static_cast<CMC_flags>(slot->second), nullptr, &slot->count, 0,
          reinterpret_cast<CMC_message_summary**>(&slot->out), nullptr));
      break;
    case SM_READ:
      slot->result = static_cast<int32_t>(slot->entries.read(
          slot->session, reinterpret_cast<CMC_message_reference*>(slot->first),
          static_cast<CMC_flags>(slot->second), reinterpret_cast<CMC_message**>(&slot->out), 0,
          nullptr));
      break;
    case SM_ACTON:
      slot->result = static_cast<int32_t>(
          slot->entries.act_on(slot->session, reinterpret_cast<CMC_message_reference*>(slot->first),
                        static_cast<CMC_enum>(slot->second), 0, 0, nullptr));
      break;
    case SM_FREE:
      slot->result = static_cast<int32_t>(slot->entries.free(reinterpret_cast<void*>(slot->first)));
      break;
  }
}

bool EntryBound(const sm_cmcentries& entries, int32_t code) {
  switch (code) {
    case SM_LOGON: return entries.logon != nullptr;
    case SM_SEND: return entries.send != nullptr;
    case SM_LOGOFF:
    case SM_SHUTDOWN: return entries.logoff != nullptr;
    case SM_LIST: return entries.list != nullptr;
    case SM_READ: return entries.read != nullptr;
    case SM_ACTON: return entries.act_on != nullptr;
    case SM_FREE: return entries.free != nullptr;
    default: return false;
  }
}

// Executes the request in the slot and leaves its result there.
void Execute(sm_reqslot_t* slot) {
  slot->result = 0;
  slot->clear_session = false;
  if (slot->code < SM_LOGON || slot->code > SM_FREE || !EntryBound(slot->entries, slot->code)) {
    slot->result = SM_INTERNAL;
    return;
  }
  if (slot->code == SM_SHUTDOWN) slot->shutdown = true;  // ends the worker whatever happens
  if ((slot->code == SM_LOGOFF || slot->code == SM_SHUTDOWN) && slot->session == 0) return;
  if (vel::os::GuardedCall(CallProvider, slot) != vel::os::CallOutcome::kReturned) {
    slot->result = SM_INTERNAL;
  }
}

// The worker's thread procedure.
void sm_mailthread(std::shared_ptr<sm_reqslot_t> slot) {
  for (;;) {
    int expected = kPosted;
    if (!slot->state.compare_exchange_strong(expected, kRunning)) return;  // given up already
    Execute(slot.get());
    expected = kRunning;
    if (!slot->state.compare_exchange_strong(expected, kDone)) return;  // cut off: touch nothing

    if (slot->code == SM_LOGON) sm_session.store(slot->session);
    if (slot->clear_session) sm_session.store(0);
    const bool shutdown = slot->shutdown;
    slot->code = 0;
    if (shutdown) sm_thread_id.store(0);
    slot->done->Set();
    if (shutdown) return;
    slot->wake->Wait(Event::kInfinite);
  }
}

// Gives the worker up if it has not claimed its completion. False when it
// has: the completion is then on its way.
bool GiveUp(sm_reqslot_t* slot) {
  int state = slot->state.load();
  while (state == kPosted || state == kRunning) {
    if (slot->state.compare_exchange_weak(state, kAbandoned)) return true;
  }
  return false;
}

}  // namespace

void sm_createworkersync() {
  sm_evt_request = std::make_shared<Event>();
  sm_evt_done = std::make_shared<Event>();
  sm_lock = std::make_unique<vel::os::CriticalSection>();
}

void sm_destroyworkersync() {
  sm_reqslot.reset();
  sm_evt_request.reset();
  sm_evt_done.reset();
  sm_lock.reset();
}

void sm_resetworker() {
  sm_session.store(0);
  sm_thread_id.store(0);
  sm_thread.reset();
  sm_reqslot.reset();
}

int32_t sm_mailrequest(int32_t code, intptr_t first, intptr_t second, intptr_t third,
                       intptr_t fourth) {
  if (sm_lock == nullptr) return SM_INTERNAL;  // not attached
  vel::os::CriticalSectionLock lock(*sm_lock);

  if (code == SM_LOGON && sm_session.load() != 0) return SM_LOGGEDON;

  const bool start = sm_thread_id.load() == 0;
  if (start) {
    sm_reqslot = std::make_shared<sm_reqslot_t>();
    sm_reqslot->wake = sm_evt_request;
    sm_reqslot->done = sm_evt_done;
  }
  std::shared_ptr<sm_reqslot_t> slot = sm_reqslot;
  slot->code = code;
  slot->first = first;
  slot->second = second;
  slot->third = third;
  slot->fourth = fourth;
  slot->inputs.Take(code, &slot->first, &slot->second, &slot->third);
  slot->result = 0;
  slot->count = (code == SM_LIST && third != 0) ? *reinterpret_cast<CMC_uint32*>(third) : 0;
  slot->out = nullptr;
  slot->shutdown = false;
  slot->entries = sm_cmc;
  slot->session = sm_session.load();
  slot->state.store(kPosted);

  if (start) {
    sm_thread = vel::os::Thread::Start([slot] { sm_mailthread(slot); });
    if (sm_thread != nullptr) sm_thread_id.store(sm_thread->Id());
  } else {
    slot->wake->Set();
  }

  if (!sm_evt_done->Wait(static_cast<uint32_t>(sm_timeout))) {
    if (GiveUp(slot.get())) {
      // Cut the worker off. It keeps its slot and its request event; the
      // next request gets a fresh worker, slot and event.
      if (sm_thread != nullptr) sm_thread->CutOff();
      // The cut-off thread may still be inside the provider.
      vel::os::PinModuleOf(reinterpret_cast<const void*>(sm_cmc.logon));
      sm_thread.reset();
      sm_thread_id.store(0);
      sm_session.store(0);
      sm_reqslot.reset();
      sm_evt_request = std::make_shared<Event>();
      return SM_TIMEDOUT;
    }
    sm_evt_done->Wait(Event::kInfinite);  // it finished just as the time ran out
  }

  if (code == SM_LIST) {
    if (third != 0) *reinterpret_cast<CMC_uint32*>(third) = slot->count;
    if (fourth != 0) *reinterpret_cast<void**>(fourth) = slot->out;
  } else if (code == SM_READ && third != 0) {
    *reinterpret_cast<void**>(third) = slot->out;
  }
  if (sm_thread_id.load() == 0) {
    // The worker ended (shutdown): let it leave the library's code.
    if (sm_thread != nullptr) sm_thread->Join();
    sm_thread.reset();
    sm_reqslot.reset();
  }
  return slot->result;
}

void sm_providerblock::Free() {
  if (block_ != nullptr) sm_mailrequest(SM_FREE, reinterpret_cast<intptr_t>(block_), 0, 0, 0);
  block_ = nullptr;
}
