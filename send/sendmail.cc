// xp_sendmail: sends one message through the mail session.
#include <cstring>

#include "frame/errors.h"
#include "frame/params.h"
#include "mapi/worker.h"

int32_t sm__getsmparam(srv_proc* thread, sm_smparams_t* record) {
  int32_t count = 0;
  if (!sm_getparamcount(thread, "xp_sendmail", 1, 18, &count)) return 0;
  if (!sm_getparams(thread, record->params, 18, count, "sm__getsmparam")) return 0;

  sm_param* p = record->params;
  if (!sm_getbool(thread, &p[SM_SM_ATTACH_RESULT], &record->attach_result) ||
      !sm_getbool(thread, &p[SM_SM_NO_OUTPUT], &record->no_output) ||
      !sm_getbool(thread, &p[SM_SM_ECHO_ERROR], &record->echo_error) ||
      !sm_getbool(thread, &p[SM_SM_INCLUDE_QUERY], &record->include_query) ||
      !sm_getbool(thread, &p[SM_SM_NO_COLUMN_HEADER], &record->no_column_header)) {
    return 0;
  }
  if (p[SM_SM_QUERY].length > 0 && p[SM_SM_MESSAGE].length > 0) {
    sm_raise(thread, 0, SM_MSG_QUERY_AND_MESSAGE, "@query and @message", 0);
    return 0;
  }
  if (sm_paramint(&p[SM_SM_WIDTH]) <= 0) {
    sm_raise(thread, 0, SM_MSG_BAD_VALUE, "@width", 0);
    return 0;
  }
  if (p[SM_SM_TYPE].length != 8 || memcmp(p[SM_SM_TYPE].value, "CMC: IPM", 8) != 0) {
    sm_raise(thread, 0, SM_MSG_BAD_VALUE, "@type", 0);
    return 0;
  }
  if (p[SM_SM_RECIPIENT].length == 0) {
    sm_raise(thread, 0, SM_MSG_NO_RECIPIENT, "xp_sendmail", 0);
    return 0;
  }
  return 1;
}

extern "C" VEL_EXPORT int32_t VEL_CDECL xp_sendmail(srv_proc* thread) {
  sm_smparams_t record;
  sm_preset(&record);
  if (sm_session.load() == 0) {
    sm_raise(thread, 0, SM_MSG_NO_SESSION, "xp_sendmail", 0);
    return 0;
  }
  if (!sm_getparam(thread, SM_KIND_SENDMAIL, &record)) return 0;
  // NOT YET BUILT: the query, the results file and the send itself come
  // with the sending work. Until then the call reads and checks its
  // parameters and fails.
  sm_raise(thread, 0, SM_MSG_FAILED, nullptr, 0);
  return 0;
}
