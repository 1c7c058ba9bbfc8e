// The normal behaviour of the entry points: a working provider over the
// test mailbox.
#include <algorithm>
#include <cstdlib>

#include "testcmc/testcmc_blocks.h"
#include "testcmc/testcmc_internal.h"
#include "testcmc/testcmc_state.h"

namespace testcmc::internal {
namespace {

using detail::GlobalState;
using detail::State;

bool ValidSession(const State& state, CMC_session_id session) VEL_REQUIRES(state.mutex) {
  return state.sessions.count(session) == 1;
}

// The mailbox message with that reference (length and bytes equal).
std::vector<Message>::iterator FindMessage(State& state, const CMC_message_reference* reference)
    VEL_REQUIRES(state.mutex) {
  if (!reference) return state.mailbox.end();
  const std::string bytes = ReferenceBytes(reference);
  return std::find_if(state.mailbox.begin(), state.mailbox.end(),
                      [&](const Message& m) { return m.reference == bytes; });
}

bool Listed(const Message& m, const char* message_type, CMC_flags list_flags) {
  if (message_type && (m.null_type || m.type != message_type)) return false;
  if ((list_flags & CMC_LIST_UNREAD_ONLY) && m.read) return false;
  return true;
}

}  // namespace

CMC_return_code Logon(CMC_session_id* session) {
  if (!session) return CMC_E_INVALID_PARAMETER;
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  const CMC_session_id id = state.next_session++;
  state.sessions.insert(id);
  *session = id;
  return CMC_SUCCESS;
}

CMC_return_code Logoff(CMC_session_id session) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  return state.sessions.erase(session) == 1 ? CMC_SUCCESS : CMC_E_INVALID_SESSION_ID;
}

CMC_return_code Free(void* memory) {
  auto& state = GlobalState();
  {
    vel::os::MutexLock lock(state.mutex);
    if (!memory || state.blocks.erase(memory) != 1) return CMC_E_INVALID_MEMORY;
  }
  std::free(memory);
  return CMC_SUCCESS;
}

CMC_return_code Send(CMC_session_id session, const CMC_message* message) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  if (!ValidSession(state, session)) return CMC_E_INVALID_SESSION_ID;
  if (message == nullptr) return CMC_E_INVALID_PARAMETER;
  state.last_sent_note = message->text_note != nullptr ? message->text_note : "";
  return CMC_SUCCESS;
}

CMC_return_code LookUp(CMC_session_id session, CMC_uint32* count, CMC_recipient** recipients_out) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  if (!ValidSession(state, session)) return CMC_E_INVALID_SESSION_ID;
  if (count) *count = 0;
  if (recipients_out) *recipients_out = nullptr;
  return CMC_SUCCESS;
}

CMC_return_code List(CMC_session_id session, const char* message_type, CMC_flags list_flags,
                     CMC_uint32* count, CMC_message_summary** result) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  if (!ValidSession(state, session)) return CMC_E_INVALID_SESSION_ID;
  if (!count || !result) return CMC_E_INVALID_PARAMETER;

  const CMC_uint32 wanted = *count;  // 0: all
  std::vector<const Message*> listed;
  for (const Message& m : state.mailbox) {
    if (wanted != 0 && listed.size() == wanted) break;
    if (Listed(m, message_type, list_flags)) listed.push_back(&m);
  }
  CMC_message_summary* block = detail::BuildSummaryBlock(listed);
  if (block) state.blocks.insert(block);
  *count = static_cast<CMC_uint32>(listed.size());
  *result = block;
  return CMC_SUCCESS;
}

CMC_return_code Read(CMC_session_id session, const CMC_message_reference* reference,
                     CMC_flags read_flags, CMC_message** message) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  if (!ValidSession(state, session)) return CMC_E_INVALID_SESSION_ID;
  if (!message) return CMC_E_INVALID_PARAMETER;
  auto found = FindMessage(state, reference);
  if (found == state.mailbox.end()) return CMC_E_INVALID_MESSAGE_REFERENCE;

  CMC_message* block = detail::BuildMessageBlock(*found);
  state.blocks.insert(block);
  *message = block;
  if (!(read_flags & CMC_DO_NOT_MARK_AS_READ)) found->read = true;
  return CMC_SUCCESS;
}

CMC_return_code ActOn(CMC_session_id session, const CMC_message_reference* reference,
                      CMC_enum operation) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  if (!ValidSession(state, session)) return CMC_E_INVALID_SESSION_ID;
  auto found = FindMessage(state, reference);
  if (found == state.mailbox.end()) return CMC_E_INVALID_MESSAGE_REFERENCE;
  if (operation != CMC_ACT_ON_DELETE) return CMC_E_UNSUPPORTED_ACTION;
  state.mailbox.erase(found);
  return CMC_SUCCESS;
}

}  // namespace testcmc::internal
