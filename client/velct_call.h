// The frames of the exported calls that may raise messages: the body runs
// under the lock the call needs (the shared lock, or one connection's), and
// the messages it raised are delivered after the lock is released.
// Internal to libvelct.so.
#ifndef VELCT_CALL_H
#define VELCT_CALL_H

#include <string_view>

#include "velct_outbox.h"
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
    std::lock_guard lock(state.mutex);
    result = body(state, out);
  }
  out.Deliver();
  return result;
}

// Runs body(connection, outbox) holding the live connection con; VEL_FAIL
// without effect when a failure rule makes the call fail or con is no live
// connection.
template <class Body>
int32_t RunConnectionCall(Fn fn, cs_connection* con, Body&& body) {
  Outbox out;
  int32_t result = VEL_FAIL;
  if (!CallFails(fn)) {
    HeldConnection held(con);
    if (held) result = body(held, out);
  }
  out.Deliver();
  return result;
}

// Runs body(command, outbox) holding the live command cmd through its
// connection; as above.
template <class Body>
int32_t RunCommandCall(Fn fn, cs_command* cmd, Body&& body) {
  Outbox out;
  int32_t result = VEL_FAIL;
  if (!CallFails(fn)) {
    HeldCommand held(cmd);
    if (held) result = body(held, out);
  }
  out.Deliver();
  return result;
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
