#include "maildir/accounts.h"

#include <crypt.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>
#include <vector>

#include "file_system.h"
#include "platform.h"

namespace velcmc {
namespace fs = std::filesystem;
namespace {

std::vector<std::string> ReadLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
  }
  return lines;
}

bool IsAccountLine(const std::string& line) {
  return !line.empty() && line.front() != '#' && line.find(':') != std::string::npos;
}

bool CryptMatches(const std::string& password, const std::string& hash) {
  auto data = std::make_unique<crypt_data>();
  const char* result = crypt_rn(password.c_str(), hash.c_str(), data.get(), sizeof(crypt_data));
  if (result == nullptr || result[0] == '*') return false;
  size_t length = std::strlen(result);
  if (length != hash.size()) return false;
  unsigned char difference = 0;  // compared in full, whatever differs first
  for (size_t i = 0; i < length; ++i) difference |= static_cast<unsigned char>(result[i] ^ hash[i]);
  return difference == 0;
}

}  // namespace

fs::path AccountFilePath(const fs::path& root) { return root / "passwd"; }

std::map<std::string, std::string> LoadAccounts(const fs::path& root) {
  std::map<std::string, std::string> accounts;
  for (const std::string& line : ReadLines(AccountFilePath(root))) {
    if (!IsAccountLine(line)) continue;
    size_t colon = line.find(':');
    accounts.emplace(line.substr(0, colon), line.substr(colon + 1));
  }
  return accounts;
}

bool VerifyPassword(const fs::path& root, const std::string& name, const std::string& password) {
  auto accounts = LoadAccounts(root);
  auto it = accounts.find(name);
  if (it == accounts.end() || it->second.empty()) {
    // Hashing anyway makes an unknown name cost what a wrong password costs.
    static const std::string dummy = HashPassword("velcmc");
    CryptMatches(password, dummy);
    return false;
  }
  return CryptMatches(password, it->second);
}

std::string HashPassword(const std::string& password) {
  for (const char* prefix : {"$y$", "$6$"}) {
    std::unique_ptr<char, decltype(&std::free)> salt(crypt_gensalt_ra(prefix, 0, nullptr, 0),
                                                     &std::free);
    if (!salt) continue;
    auto data = std::make_unique<crypt_data>();
    const char* hash = crypt_rn(password.c_str(), salt.get(), data.get(), sizeof(crypt_data));
    if (hash != nullptr && hash[0] != '*') return hash;
  }
  return {};
}

bool SetPassword(const fs::path& root, const std::string& name, const std::string& password,
                 std::string* error) {
  if (password.empty()) {
    *error = "the password is empty";
    return false;
  }
  std::string hash = HashPassword(password);
  if (hash.empty()) {
    *error = "cannot hash the password";
    return false;
  }
  std::string text;
  bool replaced = false;
  for (const std::string& line : ReadLines(AccountFilePath(root))) {
    if (IsAccountLine(line) && line.substr(0, line.find(':')) == name) {
      if (replaced) continue;  // a doubled entry goes
      text.append(name).append(":").append(hash).append("\n");
      replaced = true;
    } else {
      text.append(line).append("\n");
    }
  }
  if (!replaced) text += name + ":" + hash + "\n";

  fs::path staged = root / (".passwd." + std::to_string(vel::os::ProcessId()));
  vel::os::Files().RemoveFile(staged.c_str());
  if (!vel::os::Files().WriteNewFileDurably(staged.string().c_str(), text.data(), text.size())) {
    *error = "cannot write " + staged.string() + ": " +
             std::generic_category().message(vel::os::LastError());
    return false;
  }
  if (!vel::os::Files().Rename(staged.c_str(), AccountFilePath(root).c_str())) {
    const int32_t rename_error = vel::os::LastError();
    vel::os::Files().RemoveFile(staged.c_str());
    *error = "cannot replace " + AccountFilePath(root).string() + ": " +
             std::generic_category().message(rename_error);
    return false;
  }
  vel::os::Files().SyncDirectory(root.string().c_str());
  return true;
}

}  // namespace velcmc
