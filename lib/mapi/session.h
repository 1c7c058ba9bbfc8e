// The mail session procedures and the stored mail profile.
#ifndef VELMAIL_MAPI_SESSION_H
#define VELMAIL_MAPI_SESSION_H

#include <cstdint>

#include "frame/params.h"
#include "frame/state.h"
#include "velmail.h"
#include "velsrv.h"

// xp_startmail's parameter table.
struct sm_startmail_params {
  sm_param params[2];
};
enum { SM_START_USER, SM_START_PASSWORD };

// Presets the table with its defaults.
void sm_preset(sm_startmail_params* record);
// Reads xp_startmail's parameters (or the stored profile when there are
// none). 1 or 0 (reported).
int32_t sm_getstartmailparams(srv_proc* thread, sm_startmail_params* record);

// Writes the clear password of an encoded one into out, which must hold
// the encoded text's length plus one byte.
void sm_decodepwd(const char* encoded, char* out);

#endif
