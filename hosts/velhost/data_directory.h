// The embedded defaults velhost runs on: one directory holding the SQLite
// database that queries run against, the interfaces file naming it, the
// mail root with the demo accounts, the win.ini naming the provider, and
// the host's working directory (where results files are written).
#ifndef VELHOST_DATA_DIRECTORY_H
#define VELHOST_DATA_DIRECTORY_H

#include <filesystem>
#include <string>
#include <vector>

namespace velhost {

struct DemoAccount {
  const char* name;
  const char* password;
};
// The accounts a new mail root gets (docs/VELHOST.md lists them).
inline constexpr DemoAccount kDemoAccounts[] = {{"ops", "ops-demo"}, {"dba", "dba-demo"}};

class DataDirectory {
 public:
  explicit DataDirectory(std::filesystem::path root) : root_(std::move(root)) {}

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path win_ini() const { return root_ / "win.ini"; }
  // A sample configuration for the network provider (libvelnet.so).
  std::filesystem::path velnet_ini() const { return root_ / "velnet.ini"; }
  std::filesystem::path interfaces() const { return root_ / "interfaces"; }
  std::filesystem::path database() const { return root_ / "master.db"; }
  std::filesystem::path mail_root() const { return root_ / "mail"; }
  std::filesystem::path work() const { return root_ / "work"; }

  // Creates whatever is missing; what exists is left alone. The database
  // is seeded with the sample tables when it is created. Returns the
  // things made (for a report) or throws std::runtime_error.
  std::vector<std::string> Create(const std::string& provider_path,
                                  const std::string& server_name) const;

  // The provider win.ini names, or empty.
  std::string ConfiguredProvider() const;

 private:
  std::filesystem::path root_;
};

}  // namespace velhost

#endif
