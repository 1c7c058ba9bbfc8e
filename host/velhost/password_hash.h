// crypt(3) hashes for the mail root's account file.
#ifndef VELHOST_PASSWORD_HASH_H
#define VELHOST_PASSWORD_HASH_H

#include <string>

namespace velhost {

// A new hash of password (yescrypt, or SHA-512 where yescrypt is missing);
// empty on failure.
std::string HashPassword(const std::string& password);

}  // namespace velhost

#endif
