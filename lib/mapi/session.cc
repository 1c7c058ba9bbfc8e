#include "mapi/session.h"

#include <cstring>
#include <mutex>

#include "cmc.h"
#include "frame/errors.h"
#include "frame/params.h"
#include "frame/reporters.h"
#include "mapi/worker.h"

void sm_decodepwd(const char* encoded, char* out) {
  out[0] = '\0';
  if (encoded == nullptr || encoded[0] == '\0') return;
  const size_t n = strlen(encoded);
  out[0] = static_cast<char>(static_cast<unsigned char>(n % 256) ^
                             static_cast<unsigned char>(encoded[0]));
  for (size_t i = 1; i < n; ++i) out[i] = static_cast<char>(encoded[i - 1] ^ encoded[i]);
  out[n] = '\0';
}

namespace {

// The logon extension the provider expects from this library: item 528
// with data 4, marked required.
constexpr CMC_uint32 kLogonExtensionItem = 528;
constexpr CMC_uint32 kLogonExtensionData = 4;

const sm_paramdefault kStartMailDefaults[] = {
    {"@mail_user", VEL_CHAR_TYPE, "VDBSERVER", 9},
    {"@mail_password", VEL_CHAR_TYPE, "KQX", 3},
};
}  // namespace

void sm_preset(sm_startmail_params* record) {
  sm_presettable(record->params, kStartMailDefaults, 2);
}

int32_t sm_getstartmailparams(srv_proc* thread, sm_startmail_params* record) {
  int32_t count = 0;
  if (!sm_getparam(thread, SM_KIND_STARTMAIL, &count)) return 0;
  if (count == 0) {
    vel::os::CriticalSectionLock lock(sm_state.profile_lock);
    if (sm_state.profile_user[0] == '\0') {
      sm_raise(thread, 0, SM_MSG_NO_PROFILE, nullptr, 0);
      return 0;
    }
    sm_setparamtext(&record->params[SM_START_USER], sm_state.profile_user);
    sm_setparamtext(&record->params[SM_START_PASSWORD], sm_state.profile_pwd);
    return 1;
  }
  return sm_getparams(thread, record->params, 2, count, SM_REPORTER_GETSTMPARAM);
}

static int32_t StartMail(srv_proc* thread) {
  sm_startmail_params record;
  sm_preset(&record);
  if (sm_state.session.load() != 0) {
    sm_raise(thread, 0, SM_MSG_ALREADY_LOGGED_ON, "xp_startmail", 0);
    return 1;
  }
  if (!sm_getstartmailparams(thread, &record)) return 0;
  char* user = sm_paramtext(&record.params[SM_START_USER]);
  char* password = sm_paramtext(&record.params[SM_START_PASSWORD]);

  CMC_extension extension[1];
  extension[0].item_code = kLogonExtensionItem;
  extension[0].item_data = kLogonExtensionData;
  extension[0].item_reference = nullptr;
  extension[0].extension_flags = CMC_EXT_LAST_ELEMENT | CMC_EXT_REQUIRED;

  int32_t result = sm_requestlogon(user, password, extension);
  if (result != 0) {
    sm_raise(thread, result, SM_MSG_MAIL_REQUEST_FAILED, nullptr, 0);
    return 0;
  }
  srv_sendstatus(thread, 0);
  return 1;
}

static int32_t StopMail(srv_proc* thread) {
  if (sm_state.session.load() == 0) {
    sm_raise(thread, 0, SM_MSG_NO_SESSION, "xp_stopmail", 0);
    return 0;
  }
  int32_t count = 0;
  if (!sm_getparamcount(thread, "xp_stopmail", 0, 0, &count)) return 0;
  int32_t result = sm_requestlogoff(SM_LOGOFF);
  if (result != 0) {
    sm_raise(thread, result, SM_MSG_MAIL_REQUEST_FAILED, nullptr, 0);
    return 0;
  }
  srv_sendstatus(thread, 0);
  return 1;
}

static void SetMailProfile(const char* user, const char* encoded_password) {
  if (user == nullptr) {
    srv_proc* thread = nullptr;
    if (sm_findcurrentthread(&thread)) {
      sm_raise(thread, 0, SM_MSG_NO_MAIL_USER, nullptr, 0);
    } else {
      sm_raise(nullptr, 0, SM_MSG_NO_CURRENT_THREAD, "sm_set_mailprofile", 0);
    }
    return;
  }
  // The profile holds 31 characters; a longer user or password is refused
  // rather than stored cut (which would log on as somebody else).
  const bool user_too_long = strlen(user) >= SM_PROFILE_SIZE;
  if (user_too_long ||
      (encoded_password != nullptr && strlen(encoded_password) >= SM_PROFILE_SIZE)) {
    sm_raise(sm_currentthread(), 0, SM_MSG_BAD_VALUE,
             user_too_long ? "@mail_user" : "@mail_password", 0);
    return;
  }
  char user_copy[SM_PROFILE_SIZE];
  char password_copy[SM_PROFILE_SIZE];
  {
    vel::os::CriticalSectionLock lock(sm_state.profile_lock);
    strcpy(sm_state.profile_user, user);
    sm_decodepwd(encoded_password, sm_state.profile_pwd);
    memcpy(user_copy, sm_state.profile_user, sizeof(user_copy));
    memcpy(password_copy, sm_state.profile_pwd, sizeof(password_copy));
  }
  int32_t result = sm_requestlogon(user_copy, password_copy, nullptr);
  if (result != 0) sm_raise(nullptr, result, SM_MSG_MAIL_REQUEST_FAILED, nullptr, 0);
}

extern "C" VEL_EXPORT int32_t VEL_CDECL xp_startmail(srv_proc* thread) {
  return sm_guarded(thread, "xp_startmail", [thread] { return StartMail(thread); });
}

extern "C" VEL_EXPORT int32_t VEL_CDECL xp_stopmail(srv_proc* thread) {
  return sm_guarded(thread, "xp_stopmail", [thread] { return StopMail(thread); });
}

extern "C" VEL_EXPORT void VEL_CDECL xp_srv_set_mailprofile(const char* user,
                                                            const char* encoded_password) {
  sm_guarded(nullptr, "xp_srv_set_mailprofile", [&] {
    SetMailProfile(user, encoded_password);
    return 1;
  });
}
