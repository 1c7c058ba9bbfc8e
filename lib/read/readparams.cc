// The parameter getters of xp_readmail, xp_findnextmsg and xp_deletemail.
#include "read/readparams.h"

#include <cstring>

#include "frame/errors.h"
#include "frame/reporters.h"

namespace {

const char kZeroInt[4] = {0, 0, 0, 0};

const sm_paramdefault kReadMailDefaults[] = {
    {"@msg_id", VEL_BINARY_TYPE, "", 0},
    {"@recipients", VEL_CHAR_TYPE, "", 0},
    {"@sender", VEL_CHAR_TYPE, "", 0},
    {"@date_received", VEL_CHAR_TYPE, "", 0},
    {"@subject", VEL_CHAR_TYPE, "", 0},
    {"@cc", VEL_CHAR_TYPE, "", 0},
    {"@bcc", VEL_CHAR_TYPE, "", 0},
    {"@message", VEL_CHAR_TYPE, "", 0},
    {"@attachments", VEL_CHAR_TYPE, "", 0},
    {"@suppress_attach", VEL_CHAR_TYPE, "true", 4},
    {"@peek", VEL_CHAR_TYPE, "false", 5},
    {"@unread", VEL_CHAR_TYPE, "true", 4},
    {"@msg_length", VEL_INT_TYPE, kZeroInt, 4},
    {"@bytes_to_skip", VEL_INT_TYPE, kZeroInt, 4},
    {"@type", VEL_CHAR_TYPE, SM_IPM_TYPE, SM_IPM_TYPE_LENGTH},
};

const sm_paramdefault kFindNextDefaults[] = {
    {"@msg_id", VEL_BINARY_TYPE, "", 0},
    {"@type", VEL_CHAR_TYPE, SM_IPM_TYPE, SM_IPM_TYPE_LENGTH},
    {"@unread_only", VEL_CHAR_TYPE, "true", 4},
};

const sm_paramdefault kDeleteMailDefaults[] = {
    {"@msg_id", VEL_BINARY_TYPE, "", 0},
};

// "@type" may be empty (meaning "CMC: IPM") or exactly "CMC: IPM".
int32_t CheckType(srv_proc* thread, sm_param* type) {
  if (type->length == 0) {
    sm_setparamtext(type, SM_IPM_TYPE);
    return 1;
  }
  if (!sm_isipmtype(type)) {
    sm_raise(thread, 0, SM_MSG_BAD_VALUE, "@type", 0);
    return 0;
  }
  return 1;
}

}  // namespace

void sm_preset(sm_readmail_params* record) {
  sm_presettable(record->params, kReadMailDefaults, 15);
  record->suppress_attach = 1;
  record->peek = 0;
  record->unread = 1;
}

void sm_preset(sm_findnext_params* record) {
  sm_presettable(record->params, kFindNextDefaults, 3);
  record->unread_only = 1;
}

void sm_preset(sm_deletemail_params* record) {
  sm_presettable(record->params, kDeleteMailDefaults, 1);
}

int32_t sm_getreadmailparams(srv_proc* thread, sm_readmail_params* record) {
  int32_t count = 0;
  if (!sm_getparam(thread, SM_KIND_READMAIL, &count)) return 0;
  if (count == 0) return 1;
  if (!sm_getparams(thread, record->params, 15, count, SM_REPORTER_GETRMPARAM)) return 0;
  sm_param* p = record->params;
  if (!sm_getbool(thread, &p[SM_READ_SUPPRESS_ATTACH], &record->suppress_attach) ||
      !sm_getbool(thread, &p[SM_READ_PEEK], &record->peek) ||
      !sm_getbool(thread, &p[SM_READ_UNREAD], &record->unread)) {
    return 0;
  }
  if (!CheckType(thread, &p[SM_READ_TYPE])) return 0;
  if (sm_paramint(&p[SM_READ_BYTES_TO_SKIP]) < 0) {
    sm_raise(thread, 0, SM_MSG_BAD_VALUE, "@bytes_to_skip", 0);
    return 0;
  }
  sm_setparamtext(&p[SM_READ_ATTACHMENTS], "");
  return 1;
}

int32_t sm_getfindnextparams(srv_proc* thread, sm_findnext_params* record) {
  int32_t count = 0;
  if (!sm_getparam(thread, SM_KIND_FINDNEXTMSG, &count)) return 0;
  if (!sm_getparams(thread, record->params, 3, count, SM_REPORTER_GETFMPARAM)) return 0;

  // "@msg_id" must be passed, as an output parameter.
  cs_datafmt found;
  int32_t item = 0;
  const int32_t where =
      sm_findmsgidparam(thread, record->params, 3, count, SM_REPORTER_GETFMPARAM, &item, &found);
  if (where < 0) return 0;
  if (where == 0) {
    sm_raise(thread, 0, SM_MSG_NO_MSG_ID, "@msg_id", 0);
    return 0;
  }
  if ((found.status & VEL_STATUS_RETURN) == 0) {
    sm_raise(thread, 0, SM_MSG_NOT_OUTPUT, "@msg_id", 0);
    return 0;
  }
  if (!sm_getbool(thread, &record->params[SM_FIND_UNREAD_ONLY], &record->unread_only)) return 0;
  return CheckType(thread, &record->params[SM_FIND_TYPE]);
}

int32_t sm_findmsgidparam(srv_proc* thread, sm_param* table, int32_t entries, int32_t last,
                          const char* reporter, int32_t* item, cs_datafmt* description) {
  bool positional = false;
  for (int32_t i = 1; i <= last; ++i) {
    memset(description, 0, sizeof(*description));
    if (srv_descfmt(thread, VEL_GET, VEL_RPC_DATA, i, description) != VEL_SUCCEED) {
      sm_raise_failed(thread, SM_MSG_DESCFMT_FAILED, reporter, 0);
      return -1;
    }
    if (i == 1 && sm_namelength(description) == 0) positional = true;
    sm_param* entry = sm_matchparam(table, entries, description, i, positional);
    if (entry != nullptr && entry->position == 1) {  // "@msg_id" is first in every table
      *item = i;
      return 1;
    }
  }
  return 0;
}

int32_t sm_getdeletemailparams(srv_proc* thread, sm_deletemail_params* record) {
  int32_t count = 0;
  if (!sm_getparam(thread, SM_KIND_DELETEMAIL, &count)) return 0;
  if (count == 0) return 1;
  return sm_getparams(thread, record->params, 1, count, SM_REPORTER_GETDMPARAM);
}
