// The frames of the exported calls that may raise messages: the body runs
// under the lock the call needs (the shared lock, or one connection's), and
// the messages it raised are delivered after the lock is released.
// Internal to libvelct.so.
#ifndef VELCT_CALL_H
#define VELCT_CALL_H

#include <string_view>
#include <utility>

#include "velct_messages.h"
#include "velct_state.h"

namespace velct::detail {

// Runs body(state, outbox) under the shared lock unless a failure rule
// makes the call fail (then VEL_FAIL, without effect), and returns what
// body returned.
template <class Body>
int32_t RunCall(Fn fn, Body&& body) {
  Outbox out;
  int32_t result = VEL_FAIL;
  if (!CallFails(fn)) {
    State& state = GlobalState();
    vel::os::MutexLock lock(state.mutex);
    result = body(state, out);
  }
  out.Deliver();
  return result;
}

// Runs body(held, outbox) holding handle through Held (HeldConnection or
// HeldCommand); VEL_FAIL without effect when a failure rule makes the call
// fail or handle is not live.
template <class Held, class Handle, class Body>
int32_t RunHeldCall(Fn fn, Handle* handle, Body&& body) {
  Outbox out;
  int32_t result = VEL_FAIL;
  if (!CallFails(fn)) {
    Held held(handle);
    if (held) result = body(held, out);
  }
  out.Deliver();
  return result;
}

// Runs body(connection, outbox) holding the live connection con.
template <class Body>
int32_t RunConnectionCall(Fn fn, cs_connection* con, Body&& body) {
  return RunHeldCall<HeldConnection>(fn, con, std::forward<Body>(body));
}

// Runs body(command, outbox) holding the live command cmd through its
// connection.
template <class Body>
int32_t RunCommandCall(Fn fn, cs_command* cmd, Body&& body) {
  return RunHeldCall<HeldCommand>(fn, cmd, std::forward<Body>(body));
}

// Raises a client message on the connection and returns VEL_FAIL. Caller
// holds the connection.
inline int32_t Refuse(Outbox& out, cs_connection* con, ClientCode code, std::string_view text) {
  out.Address(con->context.load(std::memory_order_relaxed), con);
  out.Client(code, text);
  return VEL_FAIL;
}

}  // namespace velct::detail

#endif
