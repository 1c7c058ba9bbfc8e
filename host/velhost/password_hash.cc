#include "password_hash.h"

#include <crypt.h>

#include <cstdlib>
#include <memory>

namespace velhost {

std::string HashPassword(const std::string& password) {
  for (const char* method : {"$y$", "$6$"}) {
    std::unique_ptr<char, decltype(&std::free)> salt(crypt_gensalt_ra(method, 0, nullptr, 0),
                                                     &std::free);
    if (!salt) continue;
    auto data = std::make_unique<crypt_data>();
    const char* hash = crypt_rn(password.c_str(), salt.get(), data.get(), sizeof(crypt_data));
    if (hash != nullptr && hash[0] != '*') return hash;
  }
  return {};
}

}  // namespace velhost
