// A provider whose entry points do nothing: what remains of a request's
// round trip is the library's own hand-over.
#include "cmc.h"

extern "C" {
VEL_EXPORT CMC_return_code VEL_CDECL cmc_logon(CMC_string, CMC_string, CMC_string,
                                               CMC_object_identifier, CMC_ui_id, uint16_t,
                                               CMC_flags, CMC_session_id* session, CMC_extension*) {
  if (session != nullptr) *session = 1;
  return CMC_SUCCESS;
}
VEL_EXPORT CMC_return_code VEL_CDECL cmc_logoff(CMC_session_id, CMC_ui_id, CMC_flags,
                                                CMC_extension*) {
  return CMC_SUCCESS;
}
VEL_EXPORT CMC_return_code VEL_CDECL cmc_free(void*) { return CMC_SUCCESS; }
VEL_EXPORT CMC_return_code VEL_CDECL cmc_send(CMC_session_id, CMC_message*, CMC_flags, CMC_ui_id,
                                              CMC_extension*) {
  return CMC_SUCCESS;
}
VEL_EXPORT CMC_return_code VEL_CDECL cmc_look_up(CMC_session_id, CMC_recipient*, CMC_flags,
                                                 CMC_ui_id, CMC_uint32* count, CMC_recipient**,
                                                 CMC_extension*) {
  if (count != nullptr) *count = 0;
  return CMC_SUCCESS;
}
VEL_EXPORT CMC_return_code VEL_CDECL cmc_list(CMC_session_id, CMC_string, CMC_flags,
                                              CMC_message_reference*, CMC_uint32* count, CMC_ui_id,
                                              CMC_message_summary** result, CMC_extension*) {
  if (count != nullptr) *count = 0;
  if (result != nullptr) *result = nullptr;
  return CMC_SUCCESS;
}
VEL_EXPORT CMC_return_code VEL_CDECL cmc_read(CMC_session_id, CMC_message_reference*, CMC_flags,
                                              CMC_message** message, CMC_ui_id, CMC_extension*) {
  if (message != nullptr) *message = nullptr;
  return CMC_SUCCESS;
}
VEL_EXPORT CMC_return_code VEL_CDECL cmc_act_on(CMC_session_id, CMC_message_reference*, CMC_enum,
                                                CMC_flags, CMC_ui_id, CMC_extension*) {
  return CMC_SUCCESS;
}
}
