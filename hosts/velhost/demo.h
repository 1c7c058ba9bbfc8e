// The scripted tour (--demo): start mail, send a plain message, a query
// result as text and as an attachment, walk the inbox reading each message
// (the long one in pieces) and deleting it, stop mail. Each statement is
// written before its outcome.
#ifndef VELHOST_DEMO_H
#define VELHOST_DEMO_H

#include "data_directory.h"
#include "velhost_session.h"

namespace velhost {

// Returns the number of statements that failed to run (0 when the tour
// went through).
int RunDemo(Session& session, const DemoAccount& account);

}  // namespace velhost

#endif
