// Sending mail: the query connection, the result layout, the body's
// post-processing, and the recipient lists.
#ifndef VELMAIL_SEND_SEND_H
#define VELMAIL_SEND_SEND_H

#include <cstdint>

#include "frame/params.h"
#include "velsrv.h"

// xp_sendmail's parameter table and the flags read from its switches.
struct sm_sendmail_params {
  sm_param params[18];
  int32_t echo_error;
  int32_t no_output;
  int32_t include_query;
  int32_t no_column_header;
  int32_t attach_result;  // also set by the layout for a binary value
  int32_t attach_count;   // counted by the post-processing
};
enum {
  SM_SEND_RECIPIENT,
  SM_SEND_SUBJECT,
  SM_SEND_CC,
  SM_SEND_BCC,
  SM_SEND_QUERY,
  SM_SEND_MESSAGE,
  SM_SEND_ATTACHNAME,
  SM_SEND_ATTACH_RESULT,
  SM_SEND_ECHO_ERROR,
  SM_SEND_INCLUDE_FILE,
  SM_SEND_NO_COLUMN_HEADER,
  SM_SEND_NO_OUTPUT,
  SM_SEND_WIDTH,
  SM_SEND_SEPARATOR,
  SM_SEND_DBUSER,
  SM_SEND_DBNAME,
  SM_SEND_TYPE,
  SM_SEND_INCLUDE_QUERY
};

// Presets the table and its flags with their defaults.
void sm_preset(sm_sendmail_params* record);
// Reads xp_sendmail's parameters and checks them. 1 or 0 (reported).
int32_t sm_getsendmailparams(srv_proc* thread, sm_sendmail_params* record);

// Query output text: a block from srv_alloc of length bytes plus a NUL, or
// none. It may hold raw binary values, so users go by the length. It owns
// its block, as sm_srvblock does: released when the text goes, or earlier
// with sm_freetext.
struct sm_text {
  sm_text() = default;
  ~sm_text();
  sm_text(const sm_text&) = delete;
  sm_text& operator=(const sm_text&) = delete;

  char* block = nullptr;
  int32_t length = 0;
};

// Appends n bytes to a text, growing it to length + n + 1 bytes. On
// failure reports 11525 with reporter and the size asked for, to the log
// only (the caller follows it with 11544), and leaves the text unchanged.
bool sm_appendtext(sm_text* text, const char* bytes, int32_t n, const char* reporter);
void sm_freetext(sm_text* text);

// Runs "@query" on a connection back to the server; the output is left in
// text (the caller releases it). 1 or 0 (reported).
int32_t sm_runquery(srv_proc* thread, sm_sendmail_params* record, sm_text* text);
int32_t sm_initsqlconn(srv_proc* thread, cs_connection** connection, sm_sendmail_params* record);
int32_t sm_sendlang(srv_proc* thread, cs_command* command, const char* text);
int32_t sm_processresults(cs_connection* connection, cs_command* command, sm_text* text,
                          sm_sendmail_params* record);
void sm_displaymessage(cs_connection* connection, int32_t kind, void* message);
extern "C" int32_t VEL_CDECL sm_clientmsg_cb(cs_context* ctx, cs_connection* connection,
                                             cs_clientmsg* message);
extern "C" int32_t VEL_CDECL sm_servermsg_cb(cs_context* ctx, cs_connection* connection,
                                             cs_servermsg* message);

// Fetches one result set and lays it out into piece (replacing it; none
// under "@no_output"). 1 or 0 (reported).
int32_t sm_fetchandlayout(cs_connection* connection, cs_command* command, sm_text* piece,
                          sm_sendmail_params* record);

// Appends the query echo, writes the results file and checks the include
// files. 1 or 0 (reported).
int32_t sm_postprocessmb(srv_proc* thread, sm_sendmail_params* record, sm_text* body);

// Splits the next ','-separated item of an include list off *cursor, in
// place (empty items skipped); null when none is left.
char* sm_nextincludeitem(char** cursor);

// Moves *text past leading blanks and cuts trailing blanks off in place.
void sm_trim(char** text);
// The part of path after its last '\' or '/'.
char* sm_basename(char* path);

// Splits a ';'-separated list in place into the next free slots of names
// (of size slots). 1 with *added set, or 0 for a missing, empty or
// ';'-led list.
int32_t sm_splitrecips(char* list, int32_t* added, char** names, int32_t slots);

#endif
