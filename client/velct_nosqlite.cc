// The database backends where neither SQLite nor libpq is available (the
// Windows tree): a server entry of kind sqlite or postgres cannot be
// connected to, and ct_connect says why. Scripted servers work as
// everywhere.
#include "velct_backends.h"

namespace velct::detail {

std::unique_ptr<Session> OpenSqliteSession(const std::string& /*server_name*/,
                                           const std::string& /*default_db*/,
                                           std::string& problem) {
  problem = "this build of the client library has no SQLite backend";
  return nullptr;
}

std::unique_ptr<Session> OpenPostgresSession(const std::string& /*server_name*/,
                                             const std::string& /*conninfo*/,
                                             const std::string& /*user*/,
                                             const std::string& /*password*/,
                                             std::string& problem) {
  problem = "this build of the client library has no PostgreSQL backend";
  return nullptr;
}

bool HostServerRegistered(const std::string& /*name*/) { return false; }

std::unique_ptr<Session> OpenHostSession(const std::string& /*server_name*/,
                                         const std::string& /*registered*/,
                                         const std::string& /*user*/, std::string& problem) {
  problem = "this build of the client library has no host backend";
  return nullptr;
}

}  // namespace velct::detail
