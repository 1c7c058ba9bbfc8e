// Procedure parameters: the entries of the parameter tables each procedure
// keeps in its frame, and the readers that fill them from the caller's RPC
// parameters. The tables themselves, their defaults and their getters live
// beside their procedures.
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
  int32_t length;  // valid bytes in value
};

// The one message type the library sends and lists: the interpersonal
// message, "CMC: IPM", which "@type" must name exactly (letter case too).
inline constexpr char SM_IPM_TYPE[] = "CMC: IPM";
constexpr int32_t SM_IPM_TYPE_LENGTH = sizeof(SM_IPM_TYPE) - 1;
// Whether an entry holds exactly that type.
bool sm_isipmtype(const sm_param* entry);

// The value as a terminated text (writes the terminator at value[length]).
char* sm_paramtext(sm_param* entry);
// The value of an integer entry.
int32_t sm_paramint(const sm_param* entry);
// Replaces an entry's value with a text (cut to the value's size).
void sm_setparamtext(sm_param* entry, const char* text);

// A parameter's default: what an entry of a procedure's table starts each
// call with. A null value stands for the integer 80.
struct sm_paramdefault {
  const char* name;
  int32_t datatype;
  const char* value;
  int32_t length;
};

// Presets a table from its defaults (entry i gets position i + 1); every
// byte past a default is zero.
void sm_presettable(sm_param* table, const sm_paramdefault* defaults, int32_t entries);

// Procedure kinds for sm_getparam.
enum : int32_t {
  SM_KIND_STARTMAIL = 0,
  SM_KIND_READMAIL = 1,
  SM_KIND_SENDMAIL = 2,
  SM_KIND_FINDNEXTMSG = 3,
  SM_KIND_DELETEMAIL = 4
};

// The first step of every procedure's parameter getter: counts the
// caller's parameters and checks the count against the limits of the
// procedure of the given kind. 1 with *count set, or 0 (reported: 11543
// for an unknown kind, 11520 when the count cannot be read, 11521 when it
// is out of the procedure's limits).
int32_t sm_getparam(srv_proc* thread, int32_t kind, int32_t* count);

// The same for a procedure of no kind (xp_stopmail), with its limits.
int32_t sm_getparamcount(srv_proc* thread, const char* procedure, int32_t min, int32_t max,
                         int32_t* count);

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

#endif
