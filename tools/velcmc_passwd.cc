// velcmc-passwd ROOT NAME: adds the account NAME to the mail root ROOT, or
// changes its password, and makes sure its mailbox exists. The password is
// the first line of standard input, and may not be empty. The directories
// it creates (the root, and any missing above it) are their owner's only.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

#include "file_system.h"
#include "maildir/accounts.h"
#include "maildir/mailbox.h"
#include "mime/names.h"
#include "velmail_version.h"

namespace {

constexpr char kUsage[] =
    "usage: velcmc-passwd ROOT NAME  (password on standard input)\n"
    "Adds the account NAME to the maildir mail root ROOT, or changes its password.\n"
    "\n"
    "  --version   print the version and stop\n"
    "  -h, --help  this text\n";

// Creates root and every directory missing above it, each one its owner's
// only: the root holds every account's mail and password. Directories that
// are there already are left as they are.
bool CreateRoot(const std::filesystem::path& root) {
  std::filesystem::path reached;
  for (const std::filesystem::path& part : root.lexically_normal()) {
    if (part.empty()) continue;
    reached /= part;
    vel::os::FileInfo info;
    if (vel::os::Files().Stat(reached.c_str(), &info, true) &&
        info.type == vel::os::FileType::kDirectory)
      continue;
    if (!vel::os::Files().CreatePrivateDirectory(reached.c_str())) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("velcmc-passwd %s\n", VELMAIL_VERSION);
    return 0;
  }
  if (argc != 3) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::filesystem::path root = argv[1];
  const std::string name = argv[2];
  if (!velcmc::IsValidMailboxName(name)) {
    std::fprintf(stderr, "velcmc-passwd: not a valid mailbox name: %s\n", name.c_str());
    return 2;
  }
  std::string password;
  if (!std::getline(std::cin, password) && password.empty()) {
    std::fprintf(stderr, "velcmc-passwd: no password on standard input\n");
    return 1;
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  // An empty password would let anyone who knows the name log on.
  if (password.empty()) {
    std::fprintf(stderr, "velcmc-passwd: the password is empty\n");
    return 1;
  }

  if (!CreateRoot(root)) {
    std::fprintf(stderr, "velcmc-passwd: cannot create the mail root %s\n", root.c_str());
    return 1;
  }
  if (!velcmc::Mailbox(root / name).Create()) {
    std::fprintf(stderr, "velcmc-passwd: cannot create the mailbox %s\n", (root / name).c_str());
    return 1;
  }
  std::string error;
  if (!velcmc::SetPassword(root, name, password, &error)) {
    std::fprintf(stderr, "velcmc-passwd: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
