// The exported CMC entry points. Each hands its call to the provider; no
// C++ exception leaves through them.
#include <exception>
#include <new>

#include "cmc.h"
#include "provider.h"

namespace {

template <class Call>
CMC_return_code Guarded(Call call) {
  try {
    return call(velnet::Provider::Instance());
  } catch (const std::bad_alloc&) {
    return CMC_E_INSUFFICIENT_MEMORY;
  } catch (const std::exception&) {
    return CMC_E_FAILURE;
  }
}

}  // namespace

extern "C" {

VEL_EXPORT CMC_return_code VEL_CDECL cmc_logon(CMC_string /*service*/, CMC_string user,
                                               CMC_string password,
                                               CMC_object_identifier /*character_set*/,
                                               CMC_ui_id /*ui_id*/, uint16_t caller_cmc_version,
                                               CMC_flags /*logon_flags*/, CMC_session_id* session,
                                               CMC_extension* logon_extensions) {
  return Guarded([&](velnet::Provider& p) {
    return p.Logon(user, password, caller_cmc_version, logon_extensions, session);
  });
}

VEL_EXPORT CMC_return_code VEL_CDECL cmc_logoff(CMC_session_id session, CMC_ui_id /*ui_id*/,
                                                CMC_flags /*flags*/,
                                                CMC_extension* /*extensions*/) {
  return Guarded([&](velnet::Provider& p) { return p.Logoff(session); });
}

VEL_EXPORT CMC_return_code VEL_CDECL cmc_free(void* memory) {
  return Guarded([&](velnet::Provider& p) { return p.Free(memory); });
}

VEL_EXPORT CMC_return_code VEL_CDECL cmc_send(CMC_session_id session, CMC_message* message,
                                              CMC_flags /*flags*/, CMC_ui_id /*ui_id*/,
                                              CMC_extension* /*extensions*/) {
  return Guarded([&](velnet::Provider& p) { return p.Send(session, message); });
}

VEL_EXPORT CMC_return_code VEL_CDECL cmc_look_up(CMC_session_id session,
                                                 CMC_recipient* recipient_in,
                                                 CMC_flags /*flags*/, CMC_ui_id /*ui_id*/,
                                                 CMC_uint32* count,
                                                 CMC_recipient** recipients_out,
                                                 CMC_extension* /*extensions*/) {
  return Guarded([&](velnet::Provider& p) {
    return p.LookUp(session, recipient_in, count, recipients_out);
  });
}

VEL_EXPORT CMC_return_code VEL_CDECL cmc_list(CMC_session_id session, CMC_string message_type,
                                              CMC_flags list_flags, CMC_message_reference* seed,
                                              CMC_uint32* count, CMC_ui_id /*ui_id*/,
                                              CMC_message_summary** result,
                                              CMC_extension* /*extensions*/) {
  return Guarded([&](velnet::Provider& p) {
    return p.List(session, message_type, list_flags, seed, count, result);
  });
}

VEL_EXPORT CMC_return_code VEL_CDECL cmc_read(CMC_session_id session,
                                              CMC_message_reference* reference,
                                              CMC_flags read_flags, CMC_message** message,
                                              CMC_ui_id /*ui_id*/,
                                              CMC_extension* /*extensions*/) {
  return Guarded([&](velnet::Provider& p) {
    return p.Read(session, reference, read_flags, message);
  });
}

VEL_EXPORT CMC_return_code VEL_CDECL cmc_act_on(CMC_session_id session,
                                                CMC_message_reference* reference,
                                                CMC_enum operation, CMC_flags /*flags*/,
                                                CMC_ui_id /*ui_id*/,
                                                CMC_extension* /*extensions*/) {
  return Guarded([&](velnet::Provider& p) { return p.ActOn(session, reference, operation); });
}

}  // extern "C"
