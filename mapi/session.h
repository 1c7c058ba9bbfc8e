// The mail session procedures and the stored mail profile.
#ifndef VELMAIL_MAPI_SESSION_H
#define VELMAIL_MAPI_SESSION_H

#include <cstdint>

#include "velsrv.h"

constexpr int32_t SM_PROFILE_SIZE = 32;

extern char sm_profile_user[SM_PROFILE_SIZE];  // terminated; empty until the host sets it
extern char sm_profile_pwd[SM_PROFILE_SIZE];   // in clear, terminated

// Forgets the stored profile (at attach).
void sm_resetprofile();

// Writes the clear password of an encoded one into out, which must hold
// the encoded text's length plus one byte.
void sm_decodepwd(const char* encoded, char* out);

extern "C" {
VEL_EXPORT int32_t VEL_CDECL xp_startmail(srv_proc* thread);
VEL_EXPORT int32_t VEL_CDECL xp_stopmail(srv_proc* thread);
VEL_EXPORT void VEL_CDECL xp_srv_set_mailprofile(const char* user, const char* encoded_password);
}

#endif
