// The accounts of a mail root: ROOT/passwd, one "name:hash" a line, the
// hash made by crypt(3). Lines that are empty or start with '#' are kept
// but mean nothing.
#ifndef VELCMC_ACCOUNTS_H
#define VELCMC_ACCOUNTS_H

#include <filesystem>
#include <map>
#include <string>

namespace velcmc {

// The account file of a root.
std::filesystem::path AccountFilePath(const std::filesystem::path& root);

// Every account and its hash; empty when the file is missing.
std::map<std::string, std::string> LoadAccounts(const std::filesystem::path& root);

// True when name is an account and password matches its hash. Takes about
// as long for an unknown name as for a wrong password.
bool VerifyPassword(const std::filesystem::path& root, const std::string& name,
                    const std::string& password);

// A new crypt(3) hash of password: yescrypt, or SHA-512 where yescrypt is
// not available. Empty on failure.
std::string HashPassword(const std::string& password);

// Adds the account or changes its password, replacing the file in one
// step. An empty password is refused. False with a reason in *error on
// failure.
bool SetPassword(const std::filesystem::path& root, const std::string& name,
                 const std::string& password, std::string* error);

}  // namespace velcmc

#endif
