// xp_findnextmsg, xp_readmail and xp_deletemail: walking, reading and
// deleting the inbox.
#include "frame/errors.h"
#include "frame/params.h"
#include "mapi/worker.h"

namespace {

// NOT YET BUILT: finding, reading and deleting come with the reading work.
// Until then each procedure checks the session, reads and checks its
// parameters, and fails.
template <typename Record>
int32_t ReadParametersThenFail(srv_proc* thread, int32_t kind, const char* procedure) {
  Record record;
  sm_preset(&record);
  if (sm_session.load() == 0) {
    sm_raise(thread, 0, SM_MSG_NO_SESSION, procedure, 0);
    return 0;
  }
  if (!sm_getparam(thread, kind, &record)) return 0;
  sm_raise(thread, 0, SM_MSG_FAILED, nullptr, 0);
  return 0;
}

}  // namespace

extern "C" VEL_EXPORT int32_t VEL_CDECL xp_findnextmsg(srv_proc* thread) {
  return ReadParametersThenFail<sm_fmparams_t>(thread, SM_KIND_FINDNEXTMSG, "xp_findnextmsg");
}

extern "C" VEL_EXPORT int32_t VEL_CDECL xp_readmail(srv_proc* thread) {
  return ReadParametersThenFail<sm_rmparams_t>(thread, SM_KIND_READMAIL, "xp_readmail");
}

extern "C" VEL_EXPORT int32_t VEL_CDECL xp_deletemail(srv_proc* thread) {
  return ReadParametersThenFail<sm_dmparams_t>(thread, SM_KIND_DELETEMAIL, "xp_deletemail");
}
