// What the reading procedures share: building message references from
// "@msg_id" values and listing the first message.
#ifndef VELMAIL_READ_READCOMMON_H
#define VELMAIL_READ_READCOMMON_H

#include <cstdint>

#include "cmc.h"
#include "frame/srvblock.h"
#include "mapi/worker.h"
#include "read/readparams.h"

// The largest reference a "@msg_id" value holds.
constexpr uint32_t SM_MAX_REFERENCE = SM_VALUE_SIZE;

// Builds a CMC_message_reference from an entry's bytes in a block of the
// entry's length plus 8 bytes. Reports 11525 with procedure and the size on
// failure.
bool sm_buildreference(srv_proc* thread, const sm_param* entry, const char* procedure,
                       sm_srvblock* block);

// Lists the first message of the inbox (of type, or any when null; flags
// as for SM_LIST) into list and points *reference at its reference, which
// lives as long as the list. 1, or 0 (reported: the failed request as
// 11518, an empty inbox as 11526, a summary without a reference as 11526
// to the log and 11544).
int32_t sm_firstmessage(srv_proc* thread, char* type, CMC_flags flags, sm_providerblock* list,
                        const CMC_message_reference** reference);

#endif
