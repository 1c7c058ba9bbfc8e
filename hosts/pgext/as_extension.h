// Statements of the extension's own, run with the rights of the bootstrap
// superuser: the extension's tables are its own, not the caller's to read
// or write.
#ifndef VELPG_AS_EXTENSION_H
#define VELPG_AS_EXTENSION_H

#include "pg_headers.h"

namespace velpg {

// Runs fn's SPI statements as the bootstrap superuser. Their SQL names
// every object and operator with its schema, so that nothing of the
// caller's search_path runs with those rights. An error leaves the user
// to the transaction's abort, which restores it. A statement that queues a
// deferred trigger cannot run as a restricted operation (restricted false;
// what it runs is the extension's own).
template <class Fn>
void AsExtension(Fn fn, bool restricted = true) {
  Oid saved_user = InvalidOid;
  int saved_context = 0;
  GetUserIdAndSecContext(&saved_user, &saved_context);
  SetUserIdAndSecContext(BOOTSTRAP_SUPERUSERID,
                         saved_context | SECURITY_LOCAL_USERID_CHANGE |
                             (restricted ? SECURITY_RESTRICTED_OPERATION : 0));
  if (SPI_connect() != SPI_OK_CONNECT) ereport(ERROR, (errmsg("velmail: SPI_connect failed")));
  fn();
  SPI_finish();
  SetUserIdAndSecContext(saved_user, saved_context);
}

// Runs AsExtension(fn) in a subtransaction of its own, so that its
// failure leaves the caller's transaction as it was. Null when it worked,
// else the error (in the caller's memory context; FreeErrorData it).
// NOLINTNEXTLINE(readability-function-size): the depth is PG_TRY's own blocks
template <class Fn>
ErrorData* AsExtensionAlone(Fn fn) {
  MemoryContext context = CurrentMemoryContext;
  ResourceOwner owner = CurrentResourceOwner;
  Oid saved_user = InvalidOid;
  int saved_context = 0;
  GetUserIdAndSecContext(&saved_user, &saved_context);
  ErrorData* volatile error = nullptr;
  BeginInternalSubTransaction(nullptr);
  MemoryContextSwitchTo(context);
  PG_TRY();
  {
    AsExtension(fn);
    ReleaseCurrentSubTransaction();
  }
  PG_CATCH();
  {
    MemoryContextSwitchTo(context);
    error = CopyErrorData();
    FlushErrorState();
    RollbackAndReleaseCurrentSubTransaction();
    SetUserIdAndSecContext(saved_user, saved_context);
  }
  PG_END_TRY();
  MemoryContextSwitchTo(context);
  CurrentResourceOwner = owner;
  return error;
}

}  // namespace velpg

#endif
