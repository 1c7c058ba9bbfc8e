#include "read/readcommon.h"

#include <cstring>

#include "frame/errors.h"

bool sm_buildreference(srv_proc* thread, const sm_param* entry, const char* procedure,
                       sm_srvblock* block) {
  const int32_t size = entry->length + 8;
  if (!block->Allocate(size)) {
    sm_raise_failed(thread, SM_MSG_NO_MEMORY, procedure, size);
    return false;
  }
  auto* reference = block->as<CMC_message_reference>();
  reference->length = static_cast<CMC_uint32>(entry->length);
  memcpy(reference->string, entry->value, static_cast<size_t>(entry->length));
  return true;
}

int32_t sm_firstmessage(srv_proc* thread, char* type, CMC_flags flags, sm_providerblock* list,
                        const CMC_message_reference** reference) {
  CMC_uint32 count = 1;
  int32_t result = sm_requestlist(type, flags, &count, list->out<CMC_message_summary>());
  if (result != 0) {
    sm_raise(thread, result, SM_MSG_MAIL_REQUEST_FAILED, nullptr, 0);
    return 0;
  }
  if (count < 1 || list->as<CMC_message_summary>() == nullptr) {
    sm_raise(thread, 0, SM_MSG_NO_MESSAGE, nullptr, 0);
    return 0;
  }
  *reference = list->as<CMC_message_summary>()[0].message_reference;
  if (*reference == nullptr) {
    sm_raise_failed(thread, SM_MSG_NO_MESSAGE, nullptr, 0);
    return 0;
  }
  return 1;
}
