// The parameter tables of xp_readmail, xp_findnextmsg and xp_deletemail,
// and their getters.
#ifndef VELMAIL_READ_READPARAMS_H
#define VELMAIL_READ_READPARAMS_H

#include <cstdint>

#include "cmc.h"
#include "frame/params.h"
#include "velsrv.h"

// xp_readmail's table and the flags read from its switches.
struct sm_readmail_params {
  sm_param params[15];
  int32_t suppress_attach;
  int32_t peek;
  int32_t unread;
};
enum {
  SM_READ_MSG_ID,
  SM_READ_RECIPIENTS,
  SM_READ_SENDER,
  SM_READ_DATE_RECEIVED,
  SM_READ_SUBJECT,
  SM_READ_CC,
  SM_READ_BCC,
  SM_READ_MESSAGE,
  SM_READ_ATTACHMENTS,
  SM_READ_SUPPRESS_ATTACH,
  SM_READ_PEEK,
  SM_READ_UNREAD,
  SM_READ_MSG_LENGTH,
  SM_READ_BYTES_TO_SKIP,
  SM_READ_TYPE
};

// xp_findnextmsg's table and its switch.
struct sm_findnext_params {
  sm_param params[3];
  int32_t unread_only;
};
enum { SM_FIND_MSG_ID, SM_FIND_TYPE, SM_FIND_UNREAD_ONLY };

// xp_deletemail's table.
struct sm_deletemail_params {
  sm_param params[1];
};
enum { SM_DELETE_MSG_ID };

// Preset the tables (and flags) with their defaults.
void sm_preset(sm_readmail_params* record);
void sm_preset(sm_findnext_params* record);
void sm_preset(sm_deletemail_params* record);

// Where "@msg_id" is among the caller's parameters, as the shared matcher
// places a parameter: the first one of a positional call, else the first
// of that name. Describes items 1 to last in turn (a description past the
// last parameter fails). 1 with *item and *description set; 0 when no
// item is "@msg_id" (nothing reported); -1 when a description fails
// (reported as 11522 with reporter).
int32_t sm_findmsgidparam(srv_proc* thread, sm_param* table, int32_t entries, int32_t last,
                          const char* reporter, int32_t* item, cs_datafmt* description);

// xp_readmail's output step: fills the output values from the message and
// sends every output parameter the caller passed. 1 or 0 (reported).
int32_t sm_sendreadmailoutputs(srv_proc* thread, sm_readmail_params* record,
                               const CMC_message* message);

// Read the caller's parameters and check them. 1 or 0 (reported).
int32_t sm_getreadmailparams(srv_proc* thread, sm_readmail_params* record);
int32_t sm_getfindnextparams(srv_proc* thread, sm_findnext_params* record);
int32_t sm_getdeletemailparams(srv_proc* thread, sm_deletemail_params* record);

#endif
