#include "mapi/worker.h"

#include <memory>

#include "cmc.h"
#include "frame/errors.h"
#include "frame/startup.h"
#include "mapi/cmcbind.h"
#include "mapi/requestcopy.h"
#include "platform.h"

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
// process's slot (sm_state.reqslot). A worker that was cut off keeps its old slot,
// so whatever it does if it ever comes back touches nothing a later request
// uses.
struct sm_reqslot_t {
  int32_t code = 0;
  // The provider call of the request, built by its typed entry point: it
  // reads only the slot (the arguments below, the entries and the session)
  // and leaves what the provider returns in the slot.
  CMC_return_code (*call)(sm_reqslot_t* slot) = nullptr;
  bool bound = false;  // the provider has the entry point the call needs
  // Arguments, as far as the request has them; pointers lead into inputs.
  char* user = nullptr;
  char* password = nullptr;
  CMC_extension* extensions = nullptr;
  char* message_type = nullptr;
  CMC_message* message = nullptr;
  CMC_message_reference* reference = nullptr;
  CMC_flags flags = 0;
  CMC_enum operation = 0;
  void* block = nullptr;
  int32_t result = 0;

  std::atomic<int> state{kDone};
  // The provider's entry points and the session id as they were when the
  // request was posted: the worker reads no shared state of its own.
  sm_cmcentries entries = {};
  sm_requestcopy inputs;  // what the arguments point to, for the worker
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

// Makes the provider call of a request. Runs under the fault guard, so it
// does nothing but the call.
void CallProvider(void* arg) {
  auto* slot = static_cast<sm_reqslot_t*>(arg);
  slot->result = static_cast<int32_t>(slot->call(slot));
}

// Executes the request in the slot and leaves its result there.
void Execute(sm_reqslot_t* slot) {
  slot->result = 0;
  slot->clear_session = false;
  if (slot->call == nullptr || !slot->bound) {
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
void sm_mailthread(const std::shared_ptr<sm_reqslot_t>& slot) {
  for (;;) {
    int expected = kPosted;
    if (!slot->state.compare_exchange_strong(expected, kRunning)) return;  // given up already
    Execute(slot.get());
    expected = kRunning;
    if (!slot->state.compare_exchange_strong(expected, kDone)) return;  // cut off: touch nothing

    if (slot->code == SM_LOGON) sm_state.session.store(slot->session);
    if (slot->clear_session) sm_state.session.store(0);
    const bool shutdown = slot->shutdown;
    slot->code = 0;
    if (shutdown) sm_state.thread_id.store(0);
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
  vel::os::CriticalSectionLock lock(sm_state.worker_lock);
  sm_state.evt_request = std::make_shared<Event>();
  sm_state.evt_done = std::make_shared<Event>();
  sm_state.worker_ready = true;
}

void sm_destroyworkersync() {
  vel::os::CriticalSectionLock lock(sm_state.worker_lock);
  sm_state.worker_ready = false;
  sm_state.reqslot.reset();
  sm_state.evt_request.reset();
  sm_state.evt_done.reset();
}

namespace {

// Posts one request to the worker and waits for it, at most sm_state.timeout
// milliseconds. prepare fills the slot's call and arguments (copies of the
// requester's inputs, under the lock); collect copies what the provider
// returned back to the requester, only once the request has completed.
template <typename Prepare, typename Collect>
int32_t Post(int32_t code, Prepare prepare, Collect collect) {
  vel::os::CriticalSectionLock lock(sm_state.worker_lock);
  if (!sm_state.worker_ready) return SM_INTERNAL;  // not attached

  if (code == SM_LOGON && sm_state.session.load() != 0) return SM_LOGGEDON;

  const bool start = sm_state.thread_id.load() == 0;
  if (start) {
    sm_state.reqslot = std::make_shared<sm_reqslot_t>();
    sm_state.reqslot->wake = sm_state.evt_request;
    sm_state.reqslot->done = sm_state.evt_done;
  }
  std::shared_ptr<sm_reqslot_t> slot = sm_state.reqslot;
  slot->code = code;
  slot->call = nullptr;
  slot->bound = false;
  slot->inputs.Clear();
  slot->result = 0;
  slot->count = 0;
  slot->out = nullptr;
  slot->shutdown = false;
  slot->entries = sm_state.cmc;
  slot->session = sm_state.session.load();
  prepare(slot.get());
  slot->state.store(kPosted);

  if (start) {
    sm_state.thread = vel::os::Thread::Start([slot] { sm_mailthread(slot); });
    if (sm_state.thread != nullptr) sm_state.thread_id.store(sm_state.thread->Id());
  } else {
    slot->wake->Set();
  }

  if (!sm_state.evt_done->Wait(static_cast<uint32_t>(sm_state.timeout))) {
    if (GiveUp(slot.get())) {
      // Cut the worker off. It keeps its slot and its request event; the
      // next request gets a fresh worker, slot and event.
      if (sm_state.thread != nullptr) sm_state.thread->CutOff();
      // The cut-off thread may still be inside the provider.
      vel::os::PinModuleOf(reinterpret_cast<const void*>(sm_state.cmc.logon));
      sm_state.thread.reset();
      sm_state.thread_id.store(0);
      sm_state.session.store(0);
      sm_state.reqslot.reset();
      sm_state.evt_request = std::make_shared<Event>();
      return SM_TIMEDOUT;
    }
    sm_state.evt_done->Wait(Event::kInfinite);  // it finished just as the time ran out
  }

  collect(*slot);
  slot->inputs.Clear();  // the worker is done with them
  if (sm_state.thread_id.load() == 0) {
    // The worker ended (shutdown): let it leave the library's code.
    if (sm_state.thread != nullptr) sm_state.thread->Join();
    sm_state.thread.reset();
    sm_state.reqslot.reset();
  }
  return slot->result;
}

void NothingToCollect(const sm_reqslot_t&) {}

// Ends the session: the logoff request and the shutdown share the call.
CMC_return_code CallLogoff(sm_reqslot_t* slot) {
  const CMC_return_code result = slot->entries.logoff(slot->session, 0, 0, nullptr);
  slot->clear_session = true;  // only once the call has come back
  return result;
}

}  // namespace

int32_t sm_requestlogon(const char* user, const char* password, const CMC_extension* extensions) {
  return Post(
      SM_LOGON,
      [&](sm_reqslot_t* slot) {
        slot->bound = slot->entries.logon != nullptr;
        slot->user = slot->inputs.Keep(user);
        slot->password = slot->inputs.Keep(password);
        slot->extensions = slot->inputs.KeepExtensions(extensions);
        slot->call = [](sm_reqslot_t* s) {
          return s->entries.logon(nullptr, s->user, s->password, nullptr, 0, CMC_VERSION, 0,
                                  &s->session, s->extensions);
        };
      },
      NothingToCollect);
}

int32_t sm_requestsend(const CMC_message* message, sm_srvblock* note) {
  return Post(
      SM_SEND,
      [&](sm_reqslot_t* slot) {
        slot->bound = slot->entries.send != nullptr;
        slot->message = slot->inputs.KeepMessage(message, note);
        slot->call = [](sm_reqslot_t* s) {
          return s->entries.send(s->session, s->message, 0, 0, nullptr);
        };
      },
      NothingToCollect);
}

int32_t sm_requestlogoff(int32_t code) {
  return Post(
      code,
      [&](sm_reqslot_t* slot) {
        slot->bound = slot->entries.logoff != nullptr;
        slot->call = CallLogoff;
      },
      NothingToCollect);
}

int32_t sm_requestlist(const char* message_type, CMC_flags flags, CMC_uint32* count,
                       CMC_message_summary** result) {
  return Post(
      SM_LIST,
      [&](sm_reqslot_t* slot) {
        slot->bound = slot->entries.list != nullptr;
        slot->message_type = slot->inputs.Keep(message_type);
        slot->flags = flags;
        slot->count = count != nullptr ? *count : 0;
        slot->call = [](sm_reqslot_t* s) {
          return s->entries.list(s->session, s->message_type, s->flags, nullptr, &s->count, 0,
                                 reinterpret_cast<CMC_message_summary**>(&s->out), nullptr);
        };
      },
      [&](const sm_reqslot_t& slot) {
        if (count != nullptr) *count = slot.count;
        if (result != nullptr) *result = static_cast<CMC_message_summary*>(slot.out);
      });
}

int32_t sm_requestread(const CMC_message_reference* reference, CMC_flags flags,
                       CMC_message** result) {
  return Post(
      SM_READ,
      [&](sm_reqslot_t* slot) {
        slot->bound = slot->entries.read != nullptr;
        slot->reference = slot->inputs.KeepReference(reference);
        slot->flags = flags;
        slot->call = [](sm_reqslot_t* s) {
          return s->entries.read(s->session, s->reference, s->flags,
                                 reinterpret_cast<CMC_message**>(&s->out), 0, nullptr);
        };
      },
      [&](const sm_reqslot_t& slot) {
        if (result != nullptr) *result = static_cast<CMC_message*>(slot.out);
      });
}

int32_t sm_requestacton(const CMC_message_reference* reference, CMC_enum operation) {
  return Post(
      SM_ACTON,
      [&](sm_reqslot_t* slot) {
        slot->bound = slot->entries.act_on != nullptr;
        slot->reference = slot->inputs.KeepReference(reference);
        slot->operation = operation;
        slot->call = [](sm_reqslot_t* s) {
          return s->entries.act_on(s->session, s->reference, s->operation, 0, 0, nullptr);
        };
      },
      NothingToCollect);
}

int32_t sm_requestfree(void* block) {
  return Post(
      SM_FREE,
      [&](sm_reqslot_t* slot) {
        // A provider block is handed back as it is: it is the provider's.
        slot->bound = slot->entries.free != nullptr;
        slot->block = block;
        slot->call = [](sm_reqslot_t* s) { return s->entries.free(s->block); };
      },
      NothingToCollect);
}

// The untyped entry: the arguments arrive as integers and are turned back
// into what each request code takes.
// NOLINTBEGIN(performance-no-int-to-ptr)
int32_t sm_mailrequest(int32_t code, intptr_t first, intptr_t second, intptr_t third,
                       intptr_t fourth) {
  switch (code) {
    case SM_LOGON:
      return sm_requestlogon(reinterpret_cast<const char*>(first),
                             reinterpret_cast<const char*>(second),
                             reinterpret_cast<const CMC_extension*>(third));
    case SM_SEND:
      return sm_requestsend(reinterpret_cast<const CMC_message*>(first));
    case SM_LOGOFF:
    case SM_SHUTDOWN:
      return sm_requestlogoff(code);
    case SM_LIST:
      return sm_requestlist(reinterpret_cast<const char*>(first), static_cast<CMC_flags>(second),
                            reinterpret_cast<CMC_uint32*>(third),
                            reinterpret_cast<CMC_message_summary**>(fourth));
    case SM_READ:
      return sm_requestread(reinterpret_cast<const CMC_message_reference*>(first),
                            static_cast<CMC_flags>(second), reinterpret_cast<CMC_message**>(third));
    case SM_ACTON:
      return sm_requestacton(reinterpret_cast<const CMC_message_reference*>(first),
                             static_cast<CMC_enum>(second));
    case SM_FREE:
      return sm_requestfree(reinterpret_cast<void*>(first));
    default:
      // No provider call: the worker answers it as an internal failure.
      return Post(
          code, [](sm_reqslot_t*) {}, NothingToCollect);
  }
}
// NOLINTEND(performance-no-int-to-ptr)

void sm_providerblock::Free() {
  if (block_ != nullptr) sm_requestfree(block_);
  block_ = nullptr;
}
