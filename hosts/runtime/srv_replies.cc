// What a procedure sends back to its caller: messages, done records and
// the return status.
#include <algorithm>
#include <cstring>
#include <string>

#include "process_state.h"

using velsrv::internal::Injected;
using velsrv::internal::TheProcess;

namespace {

// A counted field of a server message, its count kept inside the field.
std::string CountedText(const char* field, size_t field_size, int32_t count) {
  const size_t n = count < 0 ? 0 : std::min(static_cast<size_t>(count), field_size);
  return std::string(field, n);
}

}  // namespace

VELSRV_C_EXPORT int32_t VEL_CDECL srv_senddone(srv_proc* proc, int32_t status, int32_t transtate,
                                               int32_t count) {
  if (Injected("srv_senddone")) return VEL_FAIL;
  auto caller = TheProcess().callers.Find(proc);
  if (caller == nullptr) return VEL_FAIL;
  vel::os::MutexLock lock(caller->mu);
  caller->AddDone({status, transtate, count});
  return VEL_SUCCEED;
}

VELSRV_C_EXPORT int32_t VEL_CDECL srv_sendstatus(srv_proc* proc, int32_t status) {
  if (Injected("srv_sendstatus")) return VEL_FAIL;
  auto caller = TheProcess().callers.Find(proc);
  if (caller == nullptr) return VEL_FAIL;
  vel::os::MutexLock lock(caller->mu);
  caller->AddStatus(status);
  return VEL_SUCCEED;
}

VELSRV_C_EXPORT int32_t VEL_CDECL srv_sendinfo(srv_proc* proc, cs_servermsg* msg,
                                               int32_t /*transtate*/) {
  if (Injected("srv_sendinfo")) return VEL_FAIL;
  auto caller = TheProcess().callers.Find(proc);
  if (caller == nullptr || msg == nullptr) return VEL_FAIL;
  velsrv::ClientMessage message;
  message.number = msg->msgnumber;
  message.severity = msg->severity;
  message.state = msg->state;
  message.text = CountedText(msg->text, sizeof msg->text, msg->textlen);
  message.server = CountedText(msg->svrname, sizeof msg->svrname, msg->svrnlen);
  // The procedure name is terminated as well as counted: the shorter wins.
  const void* nul = std::memchr(msg->proc, 0, sizeof msg->proc);
  const size_t proc_len =
      nul == nullptr ? sizeof msg->proc : static_cast<const char*>(nul) - msg->proc;
  message.procedure = CountedText(msg->proc, proc_len,
                                  msg->proclen < 0 ? static_cast<int32_t>(proc_len) : msg->proclen);
  message.line = msg->line;
  message.forwarded = true;
  vel::os::MutexLock lock(caller->mu);
  caller->AddMessage(std::move(message));
  return VEL_SUCCEED;
}
