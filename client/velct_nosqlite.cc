// The SQLite backend where no SQLite is available (the Windows tree): a
// server entry of kind sqlite cannot be connected to, and ct_connect says
// why. Scripted servers work as everywhere.
#include "velct_backends.h"

namespace velct::detail {

std::unique_ptr<Session> OpenSqliteSession(const std::string& /*server_name*/,
                                           const std::string& /*default_db*/,
                                           std::string& problem) {
  problem = "this build of the client library has no SQLite backend";
  return nullptr;
}

}  // namespace velct::detail
