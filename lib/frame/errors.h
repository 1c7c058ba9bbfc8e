// The one error reporter and the message numbers it raises.
#ifndef VELMAIL_FRAME_ERRORS_H
#define VELMAIL_FRAME_ERRORS_H

#include <cstdint>
#include <new>

#include "velsrv.h"

// Internal results of a mail request, outside the CMC range.
constexpr int32_t SM_TIMEDOUT = -123;
constexpr int32_t SM_INTERNAL = -124;
constexpr int32_t SM_LOGGEDON = -125;

// Message numbers handed to the host's router.
enum : int32_t {
  SM_MSG_ALREADY_LOGGED_ON = 11517,
  SM_MSG_MAIL_REQUEST_FAILED = 11518,
  SM_MSG_NO_SESSION = 11519,
  SM_MSG_NUMPARAMS_FAILED = 11520,
  SM_MSG_PARAM_COUNT = 11521,
  SM_MSG_DESCFMT_FAILED = 11522,
  SM_MSG_XFERDATA_FAILED = 11523,
  SM_MSG_NO_RECIPIENT = 11524,
  SM_MSG_NO_MEMORY = 11525,
  SM_MSG_NO_MESSAGE = 11526,
  SM_MSG_BIND_FAILED = 11527,
  SM_MSG_CANNOT_LOAD_PROVIDER = 11529,
  SM_MSG_MISSING_ENTRY_POINT = 11530,
  SM_MSG_LIBRARY_CALL_FAILED = 11531,
  SM_MSG_CANNOT_CREATE_FILE = 11532,
  SM_MSG_CANNOT_WRITE_FILE = 11533,
  SM_MSG_UNKNOWN_PARAMETER = 11534,
  SM_MSG_WRONG_DATATYPE = 11535,
  SM_MSG_QUERY_AND_MESSAGE = 11536,
  SM_MSG_BAD_VALUE = 11537,
  SM_MSG_NO_COLUMNS = 11538,
  SM_MSG_NO_CURRENT_THREAD = 11539,
  SM_MSG_NO_MAIL_USER = 11542,
  SM_MSG_UNKNOWN_KIND = 11543,
  SM_MSG_FAILED = 11544,
  SM_MSG_UNEXPECTED_RESULT = 11545,
  SM_MSG_NOT_OUTPUT = 11546,
  SM_MSG_NO_MSG_ID = 11547,
  SM_MSG_INCLUDE_FILE = 11549,
  SM_MSG_NO_PROFILE = 11550,
  // Not a failure: the caller is told something beside a call that succeeds.
  SM_MSG_ATTACHMENTS_LEFT_OUT = 11551
};

// Hands msgnum to the router: with the text of cmc when cmc is not 0 (an
// internal result or a CMC code; a code without a text routes nothing);
// otherwise with name and number, or number alone when name is null.
// Returns 1 when routed or nothing was to be routed, 0 when no router is
// bound.
int32_t sm_raise(srv_proc* thread, int32_t cmc, int32_t msgnum, const char* name, int32_t number);

// Position of a CMC return code's text in sm_cmcerrtext, or -1.
int32_t sm_cmcerrindex(int32_t code);

// The text at a position of sm_cmcerrtext (0 to 28).
const char* sm_cmcerrtext_at(int32_t position);

// The handle of the client thread the calling thread serves, or null when it
// cannot be found.
srv_proc* sm_currentthread();
// The same, telling a failed lookup (false) from a thread that serves no
// client (true, *thread null).
bool sm_findcurrentthread(srv_proc** thread);

// The two-message convention for a failed library call: msgnum with name
// and number to the log, then 11544 to the thread.
void sm_raise_failed(srv_proc* thread, int32_t msgnum, const char* name, int32_t number);

// Runs a procedure's body so that nothing it throws reaches the host: out
// of memory is reported as 11525 with the procedure's name, anything else
// as 11544; the procedure then fails.
template <typename Body>
int32_t sm_guarded(srv_proc* thread, const char* procedure, Body body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    sm_raise_failed(thread, SM_MSG_NO_MEMORY, procedure, 0);
  } catch (...) {
    sm_raise(thread, 0, SM_MSG_FAILED, nullptr, 0);
  }
  return 0;
}

// Writes a fixed line to the host log (used where the router cannot be).
void sm_log(const char* line);

#endif
