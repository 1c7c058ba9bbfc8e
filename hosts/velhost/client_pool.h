// Several scripts run at once (--clients), each on a client of its own
// and so on a host thread of its own. Each client's output is kept
// together and written, labelled, once all have finished.
#ifndef VELHOST_CLIENT_POOL_H
#define VELHOST_CLIENT_POOL_H

#include <ostream>
#include <string>
#include <vector>

#include "script_runner.h"
#include "velhost_session.h"
#include "velsrv_host.h"

namespace velhost {

struct Script {
  std::string label;  // the file name, or "standard input"
  std::string text;
};

// Client i runs scripts[i % scripts.size()]; clients[0] is used by client
// 1, and the rest are made here. Returns the statements that failed.
int RunClients(velsrv::Host& host, velsrv::Client& first, const std::vector<Script>& scripts,
               int clients, Session::Hooks hooks, RunOptions options, std::ostream& out);

}  // namespace velhost

#endif
