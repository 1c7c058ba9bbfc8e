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

bool sm_sameref(const CMC_message_reference* reference, const char* bytes, int32_t length) {
  return reference != nullptr && reference->length == static_cast<CMC_uint32>(length) &&
         memcmp(reference->string, bytes, static_cast<size_t>(length)) == 0;
}
