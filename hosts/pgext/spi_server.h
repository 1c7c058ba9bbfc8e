// Queries of the mail library, run in the calling backend: a host server of
// the client library (velct_host.h) whose statements the backend's main
// thread runs through SPI, in the caller's transaction and as the caller's
// role, each in a subtransaction of its own.
#ifndef VELPG_SPI_SERVER_H
#define VELPG_SPI_SERVER_H

#include <cstdint>
#include <string>

#include "pg_headers.h"

namespace velpg {

// Registers the host server under name (the server the library's queries
// connect to).
void RegisterQueryServer(const std::string& name);

// Main thread, around a call: the call's id (requests of other calls are
// refused), the memory context that outlives the call, and the database
// the call's queries may use.
void BeginQueries(uint64_t call, MemoryContext call_context, const char* database);
// Main thread: whether a query was cancelled (statement_timeout, a cancel
// request); the call is then to end at once.
bool QueriesCancelled();
// Main thread, after the call: rolls back a statement left open. Returns
// the error that cancelled a query (in the call's context), or null.
ErrorData* EndQueries();

}  // namespace velpg

#endif
