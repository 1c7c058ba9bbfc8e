// xp_deletemail: deletes the given message, or the first of the inbox.
#include "frame/errors.h"
#include "mapi/worker.h"
#include "read/readcommon.h"
#include "read/readparams.h"
#include "velmail.h"

static int32_t DeleteMail(srv_proc* thread) {
  sm_deletemail_params record;
  sm_preset(&record);
  if (sm_state.session.load() == 0) {
    sm_raise(thread, 0, SM_MSG_NO_SESSION, "xp_deletemail", 0);
    return 0;
  }
  if (!sm_getdeletemailparams(thread, &record)) return 0;

  sm_srvblock built;
  sm_providerblock list;
  const CMC_message_reference* reference = nullptr;
  sm_param* msg_id = &record.params[SM_DELETE_MSG_ID];
  if (msg_id->length > 0) {
    if (!sm_buildreference(thread, msg_id, "xp_deletemail", &built)) return 0;
    reference = built.as<CMC_message_reference>();
  } else {
    // The first message of any type, read or not.
    if (!sm_firstmessage(thread, nullptr, 0, &list, &reference)) return 0;
  }

  int32_t result = sm_requestacton(reference, CMC_ACT_ON_DELETE);
  list.Free();
  built.Free();
  if (result != 0) {
    sm_raise(thread, result, SM_MSG_MAIL_REQUEST_FAILED, nullptr, 0);
    return 0;
  }
  srv_sendstatus(thread, 0);
  return 1;
}

extern "C" VEL_EXPORT int32_t VEL_CDECL xp_deletemail(srv_proc* thread) {
  return sm_guarded(thread, "xp_deletemail", [thread] { return DeleteMail(thread); });
}
