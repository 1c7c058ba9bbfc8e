// How one call of an entry point is served: recorded, delayed, and then
// answered as programmed.
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

#include "testcmc/testcmc_internal.h"
#include "testcmc/testcmc_state.h"

namespace testcmc::internal {
namespace {

using detail::GlobalState;

void SleepFor(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Blocks until Release() moves the generation on, inside a function that
// may not throw, as a provider hangs inside a library call that was not
// written to be unwound: a thread stopped from outside here would end the
// process.
void HangUntilReleased(uint64_t generation) noexcept {
  while (GlobalState().release_generation.load() == generation) SleepFor(2);
}

#if defined(_WIN32)
// From kernel32, declared here rather than through the system's headers.
extern "C" __declspec(dllimport) void __stdcall RaiseException(unsigned long code,
                                                               unsigned long flags,
                                                               unsigned long count,
                                                               const uintptr_t* arguments);
#endif

// Lets a C++ exception leave the entry point. On Windows a module built
// with mingw's static runtimes unwinds only its own frames, so no C++
// exception of ours can leave it; what leaves a provider there is the
// system's C++ exception, a structured exception of code 0xE06D7363, as
// the system's C++ runtime throws it.
[[noreturn]] void ThrowOut() {
#if defined(_WIN32)
  RaiseException(0xE06D7363u, 1 /* not continuable */, 0, nullptr);
#endif
  throw std::runtime_error("testcmc: programmed exception");
}

// An integer division by zero, through volatiles so that it is made (a
// dividend of 1 would let the compiler answer without dividing), and made
// even in builds whose undefined-behaviour checks would stop it first.
[[noreturn]] __attribute__((no_sanitize_undefined)) void Divide() {
  volatile int dividend = 7;
  volatile int zero = 0;
  volatile int quotient = dividend / zero;
  (void)quotient;
  throw std::logic_error("testcmc: the programmed division did not fault");
}

[[noreturn]] void Fault() {
  // A write to an unmapped page near address zero. The address is read
  // from a volatile, so the compiler can neither see nor drop the write.
  volatile uintptr_t address = 16;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the bad address is the point
  *reinterpret_cast<volatile int*>(address) = 1;
  // Not reached; keeps [[noreturn]] honest should the write ever succeed.
  throw std::logic_error("testcmc: the programmed fault did not fault");
}

void Finish(uint64_t id, CMC_return_code result) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  // Reset() may have dropped the record while the call was under way.
  for (auto it = state.calls.rbegin(); it != state.calls.rend(); ++it) {
    if (it->id == id) {
      it->call.result = result;
      it->call.finished = true;
      return;
    }
  }
}

}  // namespace

CMC_return_code Serve(Call call, const std::function<CMC_return_code()>& normal) {
  auto& state = GlobalState();
  call.thread = std::hash<std::thread::id>{}(std::this_thread::get_id());
  call.finished = false;

  uint64_t id = 0;
  uint64_t generation = 0;
  uint32_t delay_ms = 0;
  Behaviour behaviour;
  {
    vel::os::MutexLock lock(state.mutex);
    id = state.next_call_id++;
    behaviour = state.TakeBehaviour(call.entry);
    // Taken with the record, so a Release() by someone who has seen the
    // record is never missed.
    generation = state.release_generation.load();
    if (state.random_delay_max_ms > 0)
      delay_ms =
          std::uniform_int_distribution<uint32_t>(0, state.random_delay_max_ms)(state.random);
    state.calls.push_back({id, std::move(call)});
  }

  if (delay_ms > 0) SleepFor(delay_ms);

  CMC_return_code result = CMC_SUCCESS;
  switch (behaviour.action) {
    case Action::kNormal:
      result = normal();
      break;
    case Action::kReturn:
      result = behaviour.code;
      break;
    case Action::kSleep:
      SleepFor(behaviour.sleep_ms);
      result = normal();
      break;
    case Action::kHang:
      HangUntilReleased(generation);
      result = normal();
      break;
    case Action::kFault:
      Fault();
    case Action::kThrow:
      ThrowOut();
    case Action::kDivide:
      Divide();
  }
  Finish(id, result);
  return result;
}

void RecordExtensions(Call& call, const CMC_extension* extensions) {
  call.extensions_null = extensions == nullptr;
  for (const CMC_extension* e = extensions; e; ++e) {
    call.extensions.push_back(*e);
    if (e->extension_flags & CMC_EXT_LAST_ELEMENT) break;
  }
}

void RecordMessage(Call& call, const CMC_message* message) {
  if (!message) return;
  call.subject = message->subject ? message->subject : "";
  call.text_note_null = message->text_note == nullptr;
  call.text_note = message->text_note ? message->text_note : "";
  call.send_type = message->message_type ? message->message_type : "";
  for (const CMC_recipient* r = message->recipients; r; ++r) {
    call.recipients.emplace_back(r->name ? r->name : "", r->role);
    call.recipient_flags.push_back(r->recip_flags);
    if (r->recip_flags & CMC_RECIP_LAST_ELEMENT) break;
  }
  for (const CMC_attachment* a = message->attachments; a; ++a) {
    call.attachments.emplace_back(a->attach_title ? a->attach_title : "",
                                  a->attach_filename ? a->attach_filename : "");
    if (a->attach_flags & CMC_ATT_LAST_ELEMENT) break;
  }
}

std::string ReferenceBytes(const CMC_message_reference* reference) {
  if (!reference) return {};
  return std::string(reference->string, reference->length);
}

}  // namespace testcmc::internal
