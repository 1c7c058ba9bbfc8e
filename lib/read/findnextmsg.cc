// xp_findnextmsg: the reference of the next (by default unread) message of
// the inbox after a given one.
#include <climits>
#include <cstdint>
#include <cstring>

#include "frame/errors.h"
#include "frame/startup.h"
#include "mapi/worker.h"
#include "read/readcommon.h"
#include "read/readparams.h"
#include "velmail.h"

namespace {

constexpr CMC_uint32 kNotFound = UINT32_MAX;
constexpr CMC_uint32 kWithoutReference = UINT32_MAX - 1;

// The position of the first summary whose reference holds exactly these
// bytes; kWithoutReference when a summary without a reference comes
// before it, kNotFound when none holds them. Each summary before the one
// found is looked at (a reference missing there is refused, and the first
// of two equal ones wins), so the loop is kept to a length test and a
// byte compare of the references of equal length, whose first eight bytes
// (where a unique name usually keeps its time) are compared as one word
// before the rest.
CMC_uint32 FindReference(const CMC_message_summary* list, CMC_uint32 count, const char* bytes,
                         CMC_uint32 length) {
  uint64_t head = 0;
  if (length >= sizeof(head)) memcpy(&head, bytes, sizeof(head));
  for (CMC_uint32 i = 0; i < count; ++i) {
    const CMC_message_reference* reference = list[i].message_reference;
    if (reference == nullptr) return kWithoutReference;
    if (reference->length != length) continue;
    if (length >= sizeof(head)) {
      uint64_t other;
      memcpy(&other, reference->string, sizeof(other));
      if (other != head) continue;
    }
    if (memcmp(reference->string, bytes, length) == 0) return i;
  }
  return kNotFound;
}

// Steps after the list request: choose the message and send its reference
// back as "@msg_id". 1 on success, 0 (reported) otherwise.
int32_t FindAndReturn(srv_proc* thread, sm_findnext_params* record, const CMC_message_summary* list,
                      CMC_uint32 count) {
  if (count < 1 || list == nullptr) {
    sm_raise(thread, 0, SM_MSG_NO_MESSAGE, nullptr, 0);
    return 0;
  }
  sm_param* msg_id = &record->params[SM_FIND_MSG_ID];
  CMC_uint32 start = 0;
  if (msg_id->length > 0) {
    const CMC_uint32 found =
        FindReference(list, count, msg_id->value, static_cast<CMC_uint32>(msg_id->length));
    if (found == kWithoutReference) {
      sm_raise_failed(thread, SM_MSG_NO_MESSAGE, nullptr, 0);
      return 0;
    }
    if (found == kNotFound) {
      sm_raise(thread, 0, SM_MSG_NO_MESSAGE, nullptr, 0);
      return 0;
    }
    start = found + 1;
  }

  const CMC_message_summary* chosen = nullptr;
  for (CMC_uint32 i = start; i < count && chosen == nullptr; ++i) {
    if (!record->unread_only || (list[i].summary_flags & CMC_SUM_READ) == 0) chosen = &list[i];
  }
  if (chosen == nullptr) {
    sm_raise(thread, 0, SM_MSG_NO_MESSAGE, nullptr, 0);
    return 0;
  }
  // A chosen summary without a reference is reported as one met while
  // searching; a reference too long for "@msg_id" is refused, not cut.
  if (chosen->message_reference == nullptr) {
    sm_raise_failed(thread, SM_MSG_NO_MESSAGE, nullptr, 0);
    return 0;
  }
  if (chosen->message_reference->length > SM_MAX_REFERENCE) {
    sm_raise(thread, 0, SM_MSG_NO_MESSAGE, nullptr, 0);
    return 0;
  }
  memset(msg_id->value, 0, sizeof(msg_id->value));
  memcpy(msg_id->value, chosen->message_reference->string, chosen->message_reference->length);
  msg_id->length = static_cast<int32_t>(chosen->message_reference->length);

  // The parameter getter has made sure "@msg_id" is among the parameters;
  // it is looked up again here, since the host may fail to describe it.
  cs_datafmt description;
  int32_t item = 0;
  if (sm_findmsgidparam(thread, record->params, 3, INT32_MAX, "xp_findnextmsg", &item,
                        &description) != 1) {
    return 0;
  }
  if (!sm_bindretparam(thread, msg_id->value, &msg_id->length, item, &description, nullptr)) {
    return 0;
  }
  if (srv_xferdata(thread, VEL_SET, VEL_RPC_DATA) != VEL_SUCCEED) {
    sm_raise_failed(thread, SM_MSG_XFERDATA_FAILED, "xp_findnextmsg", 0);
    return 0;
  }
  return 1;
}

}  // namespace

static int32_t FindNextMessage(srv_proc* thread) {
  sm_findnext_params record;
  sm_preset(&record);
  if (sm_state.session.load() == 0) {
    sm_raise(thread, 0, SM_MSG_NO_SESSION, "xp_findnextmsg", 0);
    return 0;
  }
  if (!sm_getfindnextparams(thread, &record)) return 0;

  char* type = sm_state.list_every_type ? nullptr : sm_paramtext(&record.params[SM_FIND_TYPE]);
  CMC_uint32 count = 0;
  sm_providerblock list;
  int32_t result = sm_requestlist(type, 0, &count, list.out<CMC_message_summary>());
  int32_t ok = 0;
  if (result != 0) {
    sm_raise(thread, result, SM_MSG_MAIL_REQUEST_FAILED, nullptr, 0);
  } else {
    ok = FindAndReturn(thread, &record, list.as<CMC_message_summary>(), count);
  }
  list.Free();
  srv_senddone(thread, VEL_DONE_FINAL, 0, 0);
  if (!ok) return 0;
  srv_sendstatus(thread, 0);
  return 1;
}

extern "C" VEL_EXPORT int32_t VEL_CDECL xp_findnextmsg(srv_proc* thread) {
  return sm_guarded(thread, "xp_findnextmsg", [thread] { return FindNextMessage(thread); });
}
