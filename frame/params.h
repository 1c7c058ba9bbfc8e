// Procedure parameters: the parameter tables each procedure keeps in its
// frame, and the readers that fill them from the caller's RPC parameters.
#ifndef VELMAIL_FRAME_PARAMS_H
#define VELMAIL_FRAME_PARAMS_H

#include <cstdint>

#include "velsrv.h"

constexpr int32_t SM_VALUE_SIZE = 256;

// One entry of a parameter table.
struct sm_param {
  char name[32];     // with the leading '@', terminated
  int32_t position;  // 1-based position for positional calls
  int32_t datatype;  // what the caller's parameter must be: 0 char, 1 binary, 8 int
  // The value, and one spare byte for the terminator after a value of
  // full size.
  char value[SM_VALUE_SIZE + 1];
  int32_t length;    // valid bytes in value
};

// The value as a terminated text (writes the terminator at value[length]).
char* sm_paramtext(sm_param* entry);
// The value of an integer entry.
int32_t sm_paramint(const sm_param* entry);
// Replaces an entry's value with a text (cut to the value's size).
void sm_setparamtext(sm_param* entry, const char* text);

struct sm_stmparams_t {
  sm_param params[2];
};

struct sm_smparams_t {
  sm_param params[18];
  int32_t echo_error;
  int32_t no_output;
  int32_t include_query;
  int32_t no_column_header;
  int32_t attach_result;
  int32_t attach_count;
};

struct sm_rmparams_t {
  sm_param params[15];
  int32_t suppress_attach;
  int32_t peek;
  int32_t unread;
};

struct sm_fmparams_t {
  sm_param params[3];
  int32_t unread_only;
};

struct sm_dmparams_t {
  sm_param params[1];
};

// Entry indexes, in position order.
enum { SM_STM_USER, SM_STM_PASSWORD };
enum {
  SM_SM_RECIPIENT, SM_SM_SUBJECT, SM_SM_CC, SM_SM_BCC, SM_SM_QUERY, SM_SM_MESSAGE,
  SM_SM_ATTACHNAME, SM_SM_ATTACH_RESULT, SM_SM_ECHO_ERROR, SM_SM_INCLUDE_FILE,
  SM_SM_NO_COLUMN_HEADER, SM_SM_NO_OUTPUT, SM_SM_WIDTH, SM_SM_SEPARATOR, SM_SM_DBUSER,
  SM_SM_DBNAME, SM_SM_TYPE, SM_SM_INCLUDE_QUERY
};
enum {
  SM_RM_MSG_ID, SM_RM_RECIPIENTS, SM_RM_SENDER, SM_RM_DATE_RECEIVED, SM_RM_SUBJECT, SM_RM_CC,
  SM_RM_BCC, SM_RM_MESSAGE, SM_RM_ATTACHMENTS, SM_RM_SUPPRESS_ATTACH, SM_RM_PEEK, SM_RM_UNREAD,
  SM_RM_MSG_LENGTH, SM_RM_BYTES_TO_SKIP, SM_RM_TYPE
};
enum { SM_FM_MSG_ID, SM_FM_TYPE, SM_FM_UNREAD_ONLY };
enum { SM_DM_MSG_ID };

// Presets a record with its defaults; every byte past a default is zero.
void sm_preset(sm_stmparams_t* record);
void sm_preset(sm_smparams_t* record);
void sm_preset(sm_rmparams_t* record);
void sm_preset(sm_fmparams_t* record);
void sm_preset(sm_dmparams_t* record);

// Procedure kinds for sm_getparam.
enum : int32_t {
  SM_KIND_STARTMAIL = 0,
  SM_KIND_READMAIL = 1,
  SM_KIND_SENDMAIL = 2,
  SM_KIND_FINDNEXTMSG = 3,
  SM_KIND_DELETEMAIL = 4
};

// Reads the caller's parameters into the record of the given procedure
// kind through that procedure's getter. 1 or 0 (reported).
int32_t sm_getparam(srv_proc* thread, int32_t kind, void* record);

// Reads count parameters into a table of the given number of entries;
// getter names the calling getter in messages.
int32_t sm_getparams(srv_proc* thread, sm_param* table, int32_t entries, int32_t count,
                     const char* getter);

// The entry a described parameter stands for: in a positional call the
// one at its position, otherwise the one whose name equals the described
// name whole, letter case included. Null when there is none.
sm_param* sm_matchparam(sm_param* table, int32_t entries, const cs_datafmt* description,
                        int32_t item, bool positional);

// Reports a parameter that matches no entry: 11534 with its name as given.
void sm_raiseunknownparam(srv_proc* thread, const cs_datafmt* description);

// The length of a description's name, within its field.
int32_t sm_namelength(const cs_datafmt* description);

// Binds input parameter item to an entry's value and length after checking
// its datatype. The transfer's indicator tells a value cut to the entry.
int32_t sm_bindparam(srv_proc* thread, char* value, int32_t* length, int32_t item,
                     cs_datafmt* description, int32_t datatype, int16_t* indicator);

// Parses an entry's text as a true/false switch into flag.
int32_t sm_getbool(srv_proc* thread, sm_param* entry, int32_t* flag);

// Binds a buffer and its length as the return value of output parameter
// item.
int32_t sm_bindretparam(srv_proc* thread, void* value, int32_t* length, int32_t item,
                        cs_datafmt* description, int16_t* indicator);

// The shared first steps of every getter: the parameter count and its
// limits. Returns 1 with *count set, or 0 (reported).
int32_t sm_getparamcount(srv_proc* thread, const char* procedure, int32_t min, int32_t max,
                         int32_t* count);

// The getters, one per procedure.
int32_t sm__getstmparam(srv_proc* thread, sm_stmparams_t* record);
int32_t sm__getsmparam(srv_proc* thread, sm_smparams_t* record);
int32_t sm__getrmparam(srv_proc* thread, sm_rmparams_t* record);
int32_t sm__getfmparam(srv_proc* thread, sm_fmparams_t* record);
int32_t sm__getdmparam(srv_proc* thread, sm_dmparams_t* record);

#endif
