// The kinds of server end: an SQLite database, a PostgreSQL server and a
// scripted server.
// Internal to libvelct.so.
#ifndef VELCT_BACKENDS_H
#define VELCT_BACKENDS_H

#include <memory>
#include <string>

#include "velct_messages.h"
#include "velct_results.h"
#include "velct_script.h"
#include "velct_state.h"

namespace velct::detail {

// A session on the SQLite database file default_db, answering as server
// server_name. Null when the file cannot be opened; problem says why.
std::unique_ptr<Session> OpenSqliteSession(const std::string& server_name,
                                           const std::string& default_db, std::string& problem);

// A session on a PostgreSQL server, connected with the libpq connection
// string conninfo and, where they are not empty, the caller's user name and
// password. Null when the connection cannot be made; problem gives the
// server's reason.
std::unique_ptr<Session> OpenPostgresSession(const std::string& server_name,
                                             const std::string& conninfo, const std::string& user,
                                             const std::string& password, std::string& problem);

// A session answering from script. The login part of the script (what
// comes before its first batch) is read at once: its messages go to out
// and its failure rules are installed.
std::unique_ptr<Session> OpenScriptSession(std::shared_ptr<const Script> script, Outbox& out);

// A session answered by the host server registered under registered
// (velct_host.h). Null when none is registered or the host refuses the
// login; problem says why.
std::unique_ptr<Session> OpenHostSession(const std::string& server_name,
                                         const std::string& registered, const std::string& user,
                                         std::string& problem);
bool HostServerRegistered(const std::string& name);

}  // namespace velct::detail

#endif
