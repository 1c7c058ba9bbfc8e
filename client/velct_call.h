// The frame of an exported call that may raise messages: the body runs
// under the stand-in's lock, the messages it raised are delivered after the
// lock is released. Internal to libvelct.so.
#ifndef VELCT_CALL_H
#define VELCT_CALL_H

#include <string_view>

#include "velct_outbox.h"
#include "velct_state.h"

namespace velct::detail {

// Runs body(state, outbox) unless a failure rule makes the call fail (then
// VEL_FAIL, without effect), and returns what body returned.
template <class Body>
int32_t RunCall(std::string_view function, Body&& body) {
  Outbox out;
  int32_t result = VEL_FAIL;
  {
    CallScope call(function);
    if (!call.failed()) result = body(call.state(), out);
  }
  out.Deliver();
  return result;
}

// Raises a client message on the connection and returns VEL_FAIL.
inline int32_t Refuse(Outbox& out, cs_connection* con, ClientCode code, std::string_view text) {
  out.Address(con->context, con);
  out.Client(code, text);
  return VEL_FAIL;
}

}  // namespace velct::detail

#endif
