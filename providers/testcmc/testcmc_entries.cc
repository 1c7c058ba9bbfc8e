// The exported CMC entry points of the test provider. Each records its
// call and is served by the control library. A variant module is built
// from this file with one TESTCMC_OMIT_<ENTRY> definition, which leaves
// that export out.
#include "testcmc/testcmc_internal.h"

using testcmc::Call;
using testcmc::internal::Serve;

namespace {

Call NewCall(const char* entry, CMC_session_id session, CMC_ui_id ui_id, CMC_flags flags,
             const CMC_extension* extensions) {
  Call call;
  call.entry = entry;
  call.session = session;
  call.ui_id = ui_id;
  call.flags = flags;
  testcmc::internal::RecordExtensions(call, extensions);
  return call;
}

}  // namespace

extern "C" {

#ifndef TESTCMC_OMIT_LOGON
VEL_EXPORT CMC_return_code VEL_CDECL cmc_logon(CMC_string service, CMC_string user,
                                               CMC_string password,
                                               CMC_object_identifier character_set, CMC_ui_id ui_id,
                                               uint16_t caller_cmc_version, CMC_flags logon_flags,
                                               CMC_session_id* session,
                                               CMC_extension* logon_extensions) {
  Call call = NewCall("cmc_logon", 0, ui_id, logon_flags, logon_extensions);
  call.service_null = service == nullptr;
  call.user_null = user == nullptr;
  call.user = user ? user : "";
  call.password_null = password == nullptr;
  call.password = password ? password : "";
  call.character_set_null = character_set == nullptr;
  call.version = caller_cmc_version;
  return Serve(std::move(call), [&] { return testcmc::internal::Logon(session); });
}
#endif

#ifndef TESTCMC_OMIT_LOGOFF
VEL_EXPORT CMC_return_code VEL_CDECL cmc_logoff(CMC_session_id session, CMC_ui_id ui_id,
                                                CMC_flags flags, CMC_extension* extensions) {
  return Serve(NewCall("cmc_logoff", session, ui_id, flags, extensions),
               [&] { return testcmc::internal::Logoff(session); });
}
#endif

#ifndef TESTCMC_OMIT_FREE
VEL_EXPORT CMC_return_code VEL_CDECL cmc_free(void* memory) {
  Call call = NewCall("cmc_free", 0, 0, 0, nullptr);
  call.memory = memory;
  return Serve(std::move(call), [&] { return testcmc::internal::Free(memory); });
}
#endif

#ifndef TESTCMC_OMIT_SEND
VEL_EXPORT CMC_return_code VEL_CDECL cmc_send(CMC_session_id session, CMC_message* message,
                                              CMC_flags flags, CMC_ui_id ui_id,
                                              CMC_extension* extensions) {
  Call call = NewCall("cmc_send", session, ui_id, flags, extensions);
  testcmc::internal::RecordMessage(call, message);
  return Serve(std::move(call), [&] { return testcmc::internal::Send(session, message); });
}
#endif

#ifndef TESTCMC_OMIT_LOOK_UP
VEL_EXPORT CMC_return_code VEL_CDECL cmc_look_up(CMC_session_id session,
                                                 CMC_recipient* /*recipient_in*/, CMC_flags flags,
                                                 CMC_ui_id ui_id, CMC_uint32* count,
                                                 CMC_recipient** recipients_out,
                                                 CMC_extension* extensions) {
  return Serve(NewCall("cmc_look_up", session, ui_id, flags, extensions),
               [&] { return testcmc::internal::LookUp(session, count, recipients_out); });
}
#endif

#ifndef TESTCMC_OMIT_LIST
VEL_EXPORT CMC_return_code VEL_CDECL cmc_list(CMC_session_id session, CMC_string message_type,
                                              CMC_flags list_flags, CMC_message_reference* seed,
                                              CMC_uint32* count, CMC_ui_id ui_id,
                                              CMC_message_summary** result,
                                              CMC_extension* extensions) {
  Call call = NewCall("cmc_list", session, ui_id, list_flags, extensions);
  call.message_type_null = message_type == nullptr;
  call.message_type = message_type ? message_type : "";
  call.seed_null = seed == nullptr;
  call.count_in = count ? *count : 0;
  return Serve(std::move(call), [&] {
    return testcmc::internal::List(session, message_type, list_flags, count, result);
  });
}
#endif

#ifndef TESTCMC_OMIT_READ
VEL_EXPORT CMC_return_code VEL_CDECL cmc_read(CMC_session_id session,
                                              CMC_message_reference* reference,
                                              CMC_flags read_flags, CMC_message** message,
                                              CMC_ui_id ui_id, CMC_extension* extensions) {
  Call call = NewCall("cmc_read", session, ui_id, read_flags, extensions);
  call.reference = testcmc::internal::ReferenceBytes(reference);
  return Serve(std::move(call),
               [&] { return testcmc::internal::Read(session, reference, read_flags, message); });
}
#endif

#ifndef TESTCMC_OMIT_ACT_ON
VEL_EXPORT CMC_return_code VEL_CDECL cmc_act_on(CMC_session_id session,
                                                CMC_message_reference* reference,
                                                CMC_enum operation, CMC_flags flags,
                                                CMC_ui_id ui_id, CMC_extension* extensions) {
  Call call = NewCall("cmc_act_on", session, ui_id, flags, extensions);
  call.reference = testcmc::internal::ReferenceBytes(reference);
  call.operation = operation;
  return Serve(std::move(call),
               [&] { return testcmc::internal::ActOn(session, reference, operation); });
}
#endif

}  // extern "C"
