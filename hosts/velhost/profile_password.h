// The encoding in which the host hands a mail password to the library
// (xp_srv_set_mailprofile). The library decodes a text e of n bytes into
// p[0] = n ^ e[0], p[i] = e[i-1] ^ e[i]; encoding runs that backwards.
#ifndef VELHOST_PROFILE_PASSWORD_H
#define VELHOST_PROFILE_PASSWORD_H

#include <optional>
#include <string>

namespace velhost {

// The encoded text, or nothing when the password cannot be handed over: the
// encoded text is NUL-terminated, so no encoded byte may be 0 (and the
// password itself holds no NUL).
std::optional<std::string> EncodeProfilePassword(const std::string& password);

}  // namespace velhost

#endif
