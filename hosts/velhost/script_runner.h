// Runs statements from a line source in a session: lines are gathered
// until a statement is complete, then parsed and run one by one.
#ifndef VELHOST_SCRIPT_RUNNER_H
#define VELHOST_SCRIPT_RUNNER_H

#include <string_view>

#include "line_source.h"
#include "velhost_session.h"

namespace velhost {

struct RunOptions {
  bool echo = false;  // write each statement, prefixed "> ", before its outcome
};

// Runs until the input ends or a "quit". Returns the number of statements
// that failed to parse or to bind (not calls the library refused).
int RunLines(Session& session, LineSource& source, RunOptions options = {});

// The same for a text held in memory.
int RunText(Session& session, std::string_view text, RunOptions options = {});

}  // namespace velhost

#endif
