// The interfaces file: which backend answers a server name. The format is
// described in README.md. Internal to libvelct.so.
#ifndef VELCT_INTERFACES_H
#define VELCT_INTERFACES_H

#include <optional>
#include <string>
#include <string_view>

namespace velct::detail {

struct ServerEntry {
  enum class Backend { kSqlite, kPostgres, kScript, kHost };
  Backend backend = Backend::kSqlite;
  // the default database file, the connection string, or the scripted
  // server's name, or the host server's name
  std::string target;
};

// The entry for server in the interfaces file at path. Null when the file
// has none; problem then says why (file unreadable, name not listed, a
// malformed line naming the server).
std::optional<ServerEntry> LookUpServer(const std::string& path, std::string_view server,
                                        std::string& problem);

}  // namespace velct::detail

#endif
