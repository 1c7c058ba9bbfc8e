#include "frame/errors.h"

#include "frame/startup.h"
#include "velmsgs.h"

namespace {

// One entry of the CMC return-code texts: its position, then the text in a
// zero-padded field. The texts are what users see after "A mail request
// failed (...)", letter for letter: the leading blank of the later ones,
// and the blank after "A function parameter was invalid.", are part of the
// texts as they have always been shown. Do not trim them.
struct CmcErrText {
  int32_t position;
  char text[256];
};

const CmcErrText sm_cmcerrtext[29] = {
    {0, "The user is not logged on and the CMC_LOGON_UI_ALLOWED flag is not set."},
    {1, "The operation was canceled by the user."},
    {2, "The data extension requested is not supported."},
    {3, "The current implementation cannot support the number of recipients specified."},
    {4, "The size of the text string passed to the current implementation is too large."},
    {5, "One or more of the specified recipients were not found."},
    {6, "The specified user-interface identifier is invalid or no longer valid."},
    {7,
     "The specified session identifier is invalid or no longer valid (for example, after "
     "logging off)."},
    {8, "One of the parameters in the message was invalid."},
    {9, "A flag set using a flags parameter was invalid."},
    {10, "The specified attachment was not found as specified."},
    {11, "The recipient name is ambiguous. Multiple matches were found."},
    {12, "The version specified in the call cannot be supported by the current implementation."},
    {13, "The function extension requested is not supported."},
    {14, "The character set requested is not supported."},
    {15, "The service requested is unavailable."},
    {16, "A password is required on this message service."},
    {17,
     "The service, user name, or password specified were invalid, so logon cannot be "
     "completed."},
    {18, "Insufficient memory was available to complete the requested operation."},
    {19, "There was a general failure that does not fit the description of any other return code."},
    {20, "This implementation does not support the counted-string type."},
    {21, " The flag requested is not supported."},
    {22, " The current implementation cannot support the number of files specified."},
    {23, " A function parameter was invalid. "},
    {24,
     " The specified message reference is invalid or no longer valid (for example, it has been "
     "deleted)."},
    {25,
     " Insufficient disk space was available to complete the requested operation (this can "
     "refer to local or shared disk space)."},
    {26,
     " The attachment file was found, but could not be opened or the attachment file could not "
     "be created."},
    {27, " The attachment file was found and opened, but there was an error reading it."},
    {28, " The attachment file was created successfully, but there was an error writing it."},
};

const char* InternalResultText(int32_t cmc) {
  switch (cmc) {
    case SM_TIMEDOUT:
      return "Operation timed out";
    case SM_INTERNAL:
      return "Internal Velmail error";
    case SM_LOGGEDON:
      return "Already logged on";
    default:
      return nullptr;
  }
}

}  // namespace

int32_t sm_cmcerrindex(int32_t code) {
  switch (code) {
    case 37:
      return 0;
    case 36:
      return 1;
    case 32:
      return 2;
    case 27:
      return 3;
    case 25:
      return 4;
    case 23:
      return 5;
    case 18:
      return 6;
    case 17:
      return 7;
    case 14:
      return 8;
    case 12:
      return 9;
    case 2:
      return 10;
    case 1:
      return 11;
    case 35:
      return 12;
    case 34:
      return 13;
    case 31:
      return 14;
    case 24:
      return 15;
    case 22:
      return 16;
    case 19:
      return 17;
    case 9:
      return 18;
    case 8:
      return 19;
    case 6:
      return 20;
    case 33:
      return 21;
    case 26:
      return 22;
    case 16:
      return 23;
    case 15:
      return 24;
    case 7:
      return 25;
    case 3:
      return 26;
    case 4:
      return 27;
    case 5:
      return 28;
    default:
      return -1;
  }
}

const char* sm_cmcerrtext_at(int32_t position) {
  if (position < 0 || position > 28) return nullptr;
  return sm_cmcerrtext[position].text;
}

void sm_log(const char* line) { srv_log(nullptr, 1, line, VEL_NULLTERM); }

int32_t sm_raise(srv_proc* thread, int32_t cmc, int32_t msgnum, const char* name, int32_t number) {
  const int32_t routing = thread != nullptr ? (VEL_ROUTE_LOG | VEL_ROUTE_CLIENT) : VEL_ROUTE_LOG;
  xp_srv_route_err_fn route = sm_state.route_err;
  if (route == nullptr) {
    sm_log("Velmail: Error handler not initialized\n");
    return 0;
  }
  if (const char* internal = InternalResultText(cmc)) {
    route(thread, msgnum, routing, internal);
  } else if (cmc != 0) {
    int32_t position = sm_cmcerrindex(cmc);
    if (position >= 0) route(thread, msgnum, routing, sm_cmcerrtext[position].text);
  } else if (name == nullptr) {
    route(thread, msgnum, routing, number);
  } else {
    route(thread, msgnum, routing, name, number);
  }
  return 1;
}

bool sm_findcurrentthread(srv_proc** thread) {
  *thread = nullptr;
  // The property's value is the thread's pointer itself.
  // NOLINTNEXTLINE(bugprone-sizeof-expression)
  if (srv_props(sm_state.ctx, VEL_GET, VEL_PROP_CURRENT_THREAD, thread, sizeof(srv_proc*),
                nullptr) != VEL_SUCCEED) {
    *thread = nullptr;
    return false;
  }
  return true;
}

srv_proc* sm_currentthread() {
  srv_proc* thread = nullptr;
  sm_findcurrentthread(&thread);
  return thread;
}

void sm_raise_failed(srv_proc* thread, int32_t msgnum, const char* name, int32_t number) {
  sm_raise(nullptr, 0, msgnum, name, number);
  sm_raise(thread, 0, SM_MSG_FAILED, nullptr, 0);
}
