// What the reading procedures share: building message references from
// "@msg_id" values and comparing them.
#ifndef VELMAIL_READ_READCOMMON_H
#define VELMAIL_READ_READCOMMON_H

#include <cstdint>

#include "cmc.h"
#include "frame/blocks.h"
#include "read/readparams.h"

// The largest reference a "@msg_id" value holds.
constexpr uint32_t SM_MAX_REFERENCE = SM_VALUE_SIZE;

// Builds a CMC_message_reference from an entry's bytes in a block of the
// entry's length plus 8 bytes. Reports 11525 with procedure and the size on
// failure.
bool sm_buildreference(srv_proc* thread, const sm_param* entry, const char* procedure,
                       sm_srvblock* block);

// Whether a reference holds exactly these bytes.
bool sm_sameref(const CMC_message_reference* reference, const char* bytes, int32_t length);

#endif
