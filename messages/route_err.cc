// The error router: reads a message's further arguments by its number,
// formats its text and hands it to the host for delivery.
#include <cstdarg>
#include <vector>

#include "message_texts.h"
#include "velmsgs.h"

// The test variant leaves the router out of the exports, as a message
// library without it would.
#if defined(VELMSGS_HIDE_ROUTER) && !defined(_WIN32)
#define VELMSGS_ROUTER_VISIBILITY __attribute__((visibility("hidden")))
#elif defined(VELMSGS_HIDE_ROUTER)
#define VELMSGS_ROUTER_VISIBILITY
#else
#define VELMSGS_ROUTER_VISIBILITY VEL_EXPORT
#endif

namespace {

velsrv::RouteArg TextArg(const char* text) {
  velsrv::RouteArg arg;
  arg.is_text = true;
  arg.text = text != nullptr ? text : "(null)";
  return arg;
}

velsrv::RouteArg NumberArg(int32_t number) {
  velsrv::RouteArg arg;
  arg.number = number;
  return arg;
}

std::vector<velsrv::RouteArg> ReadArgs(int32_t msgnum, va_list args) {
  switch (velmsgs::ShapeOf(msgnum)) {
    case velmsgs::ArgShape::kText:
      return {TextArg(va_arg(args, const char*))};
    case velmsgs::ArgShape::kNumber:
      return {NumberArg(va_arg(args, int32_t))};
    case velmsgs::ArgShape::kTextAndNumber: {
      velsrv::RouteArg text = TextArg(va_arg(args, const char*));
      return {text, NumberArg(va_arg(args, int32_t))};
    }
    case velmsgs::ArgShape::kUnknown:
      break;  // what such a number carries is not known, so nothing is read
  }
  return {};
}

}  // namespace

extern "C" VELMSGS_ROUTER_VISIBILITY void VEL_CDECL xp_srv_route_err(srv_proc* thread,
                                                                     int32_t msgnum,
                                                                     int32_t routing, ...) {
  va_list ap;
  va_start(ap, routing);
  const std::vector<velsrv::RouteArg> args = ReadArgs(msgnum, ap);
  va_end(ap);
  const std::string text = velmsgs::MessageText(msgnum, args);
  velsrv_route_deliver(thread, msgnum, routing, args.data(), static_cast<int32_t>(args.size()),
                       text.c_str());
}
