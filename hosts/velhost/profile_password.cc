#include "profile_password.h"

namespace velhost {

std::optional<std::string> EncodeProfilePassword(const std::string& password) {
  std::string encoded(password.size(), '\0');
  unsigned char previous = static_cast<unsigned char>(password.size() % 256);
  for (size_t i = 0; i < password.size(); ++i) {
    const auto clear = static_cast<unsigned char>(password[i]);
    if (clear == 0) return std::nullopt;
    const auto byte = static_cast<unsigned char>(previous ^ clear);
    if (byte == 0) return std::nullopt;
    encoded[i] = static_cast<char>(byte);
    previous = byte;
  }
  return encoded;
}

}  // namespace velhost
