// The parameter tables of xp_readmail, xp_findnextmsg and xp_deletemail,
// and their getters.
#ifndef VELMAIL_READ_READPARAMS_H
#define VELMAIL_READ_READPARAMS_H

#include <cstdint>

#include "frame/params.h"
#include "velsrv.h"

// xp_readmail's table and the flags read from its switches.
struct sm_rmparams_t {
  sm_param params[15];
  int32_t suppress_attach;
  int32_t peek;
  int32_t unread;
};
enum {
  SM_RM_MSG_ID, SM_RM_RECIPIENTS, SM_RM_SENDER, SM_RM_DATE_RECEIVED, SM_RM_SUBJECT, SM_RM_CC,
  SM_RM_BCC, SM_RM_MESSAGE, SM_RM_ATTACHMENTS, SM_RM_SUPPRESS_ATTACH, SM_RM_PEEK, SM_RM_UNREAD,
  SM_RM_MSG_LENGTH, SM_RM_BYTES_TO_SKIP, SM_RM_TYPE
};

// xp_findnextmsg's table and its switch.
struct sm_fmparams_t {
  sm_param params[3];
  int32_t unread_only;
};
enum { SM_FM_MSG_ID, SM_FM_TYPE, SM_FM_UNREAD_ONLY };

// xp_deletemail's table.
struct sm_dmparams_t {
  sm_param params[1];
};
enum { SM_DM_MSG_ID };

// Preset the tables (and flags) with their defaults.
void sm_preset(sm_rmparams_t* record);
void sm_preset(sm_fmparams_t* record);
void sm_preset(sm_dmparams_t* record);

// Where "@msg_id" is among the caller's parameters, as the shared matcher
// places a parameter: the first one of a positional call, else the first
// of that name. Describes items 1 to last in turn (a description past the
// last parameter fails). 1 with *item and *description set; 0 when no
// item is "@msg_id" (nothing reported); -1 when a description fails
// (reported as 11522 with reporter).
int32_t sm_findmsgidparam(srv_proc* thread, sm_param* table, int32_t entries, int32_t last,
                          const char* reporter, int32_t* item, cs_datafmt* description);

// Read the caller's parameters and check them. 1 or 0 (reported).
int32_t sm__getrmparam(srv_proc* thread, sm_rmparams_t* record);
int32_t sm__getfmparam(srv_proc* thread, sm_fmparams_t* record);
int32_t sm__getdmparam(srv_proc* thread, sm_dmparams_t* record);

#endif
