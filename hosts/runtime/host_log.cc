// The host log and the messages the message library routes.
#include <cstring>
#include <string>

#include "process_state.h"
#include "velmsgs.h"

using velsrv::internal::Injected;
using velsrv::internal::TheProcess;
using velsrv::internal::WriteHostLog;

VELSRV_C_EXPORT int32_t VEL_CDECL srv_log(srv_server* /*server*/, int32_t /*datestamp*/,
                                          const char* text, int32_t length) {
  if (Injected("srv_log")) return VEL_FAIL;
  if (text == nullptr) return VEL_FAIL;
  if (length == VEL_NULLTERM) length = static_cast<int32_t>(std::strlen(text));
  if (length < 0) return VEL_FAIL;
  WriteHostLog(std::string(text, static_cast<size_t>(length)));
  return VEL_SUCCEED;
}

extern "C" VELSRV_API void velsrv_route_deliver(srv_proc* thread, int32_t msgnum, int32_t routing,
                                                const velsrv::RouteArg* args, int32_t nargs,
                                                const char* text) {
  velsrv::RoutedMessage message;
  message.thread = thread;
  message.msgnum = msgnum;
  message.routing = routing;
  if (args != nullptr && nargs > 0) message.args.assign(args, args + nargs);
  message.text = text != nullptr ? text : "";

  velsrv::internal::OnThisThreadsCall(
      [&](velsrv::CallResult& call) { call.routed.push_back(message); });
  TheProcess().records.AddRouted(message);

  if (routing & VEL_ROUTE_LOG) WriteHostLog(message.text);
  if ((routing & VEL_ROUTE_CLIENT) && thread != nullptr) {
    auto caller = TheProcess().callers.Find(thread);
    if (caller == nullptr) return;
    velsrv::ClientMessage to_client;
    to_client.number = msgnum;
    to_client.severity = 16;
    to_client.state = 1;
    to_client.text = message.text;
    vel::os::MutexLock lock(caller->mu);
    caller->AddMessage(std::move(to_client));
  }
}
