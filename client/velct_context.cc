// The context calls: allocation, start-up and shutdown, callbacks and
// configuration.
#include <algorithm>
#include <cstring>

#include "velct_state.h"

using velct::detail::CallScope;

namespace {

// Where ct_callback keeps a callback of the given type, or null for a type
// the stand-in does not know.
void** CallbackSlot(cs_connection& con, int32_t type) {
  switch (type) {
    case VEL_CB_SERVERMSG:
      return reinterpret_cast<void**>(&con.server_message);
    case VEL_CB_CLIENTMSG:
      return reinterpret_cast<void**>(&con.client_message);
    default:
      return nullptr;  // the challenge belongs to the context only
  }
}

void** CallbackSlot(cs_context& ctx, int32_t type) {
  switch (type) {
    case VEL_CB_SERVERMSG:
      return reinterpret_cast<void**>(&ctx.server_message);
    case VEL_CB_CLIENTMSG:
      return reinterpret_cast<void**>(&ctx.client_message);
    case VEL_CB_CHALLENGE:
      return reinterpret_cast<void**>(&ctx.challenge);
    default:
      return nullptr;
  }
}

}  // namespace

extern "C" {

VEL_EXPORT int32_t VEL_CDECL cs_ctx_alloc(int32_t version, cs_context** ctx) {
  CallScope call("cs_ctx_alloc");
  if (call.failed() || !ctx || version != VEL_CS_VERSION) return VEL_FAIL;
  auto context = std::make_unique<cs_context>();
  context->version = version;
  cs_context* handle = context.get();
  call.state().contexts.emplace(handle, std::move(context));
  call.state().last_allocated = handle;
  *ctx = handle;
  return VEL_SUCCEED;
}

VEL_EXPORT int32_t VEL_CDECL cs_ctx_drop(cs_context* ctx) {
  CallScope call("cs_ctx_drop");
  if (call.failed()) return VEL_FAIL;
  // A context may be dropped whether or not ct_exit succeeded on it; its
  // connections go with it.
  if (!call.state().Find(ctx)) return VEL_FAIL;
  call.state().DropConnectionsOf(ctx);
  call.state().contexts.erase(ctx);
  return VEL_SUCCEED;
}

VEL_EXPORT int32_t VEL_CDECL ct_init(cs_context* ctx, int32_t version) {
  CallScope call("ct_init");
  cs_context* context = call.state().Find(ctx);
  if (call.failed() || !context || version != VEL_CS_VERSION) return VEL_FAIL;
  context->initialised = true;
  return VEL_SUCCEED;
}

VEL_EXPORT int32_t VEL_CDECL ct_exit(cs_context* ctx, int32_t option) {
  CallScope call("ct_exit");
  cs_context* context = call.state().Find(ctx);
  if (call.failed() || !context || !context->initialised) return VEL_FAIL;
  if (option != VEL_FORCE_EXIT && option != VEL_UNUSED) return VEL_FAIL;
  // Without force, open connections keep the library up; with force they
  // are closed and dropped.
  const bool has_connections =
      std::any_of(call.state().connections.begin(), call.state().connections.end(),
                  [context](const auto& entry) { return entry.second->context == context; });
  if (has_connections && option != VEL_FORCE_EXIT) return VEL_FAIL;
  call.state().DropConnectionsOf(context);
  context->initialised = false;
  return VEL_SUCCEED;
}

VEL_EXPORT int32_t VEL_CDECL ct_callback(cs_context* ctx, cs_connection* con, int32_t action,
                                         int32_t type, void* func) {
  CallScope call("ct_callback");
  if (call.failed()) return VEL_FAIL;
  // A connection's callbacks are reached through the connection alone.
  void** slot = nullptr;
  if (con) {
    cs_connection* connection = call.state().Find(con);
    if (!connection || ctx) return VEL_FAIL;
    slot = CallbackSlot(*connection, type);
  } else {
    cs_context* context = call.state().Find(ctx);
    if (!context || !context->initialised) return VEL_FAIL;
    slot = CallbackSlot(*context, type);
  }
  if (!slot) return VEL_FAIL;
  if (action == VEL_SET) {
    *slot = func;  // null removes the callback
    return VEL_SUCCEED;
  }
  if (action == VEL_GET && func) {
    *static_cast<void**>(func) = *slot;
    return VEL_SUCCEED;
  }
  return VEL_FAIL;
}

VEL_EXPORT int32_t VEL_CDECL ct_config(cs_context* ctx, int32_t action, int32_t property, void* buf,
                                       int32_t buflen, int32_t* outlen) {
  CallScope call("ct_config");
  if (call.failed()) return VEL_FAIL;
  cs_context* context = call.state().Find(ctx);
  if (!context || !context->initialised || property != VEL_PROP_IFILE) return VEL_FAIL;

  if (action == VEL_SET) {
    if (!buf) {
      context->interfaces_file.clear();
      return VEL_SUCCEED;
    }
    const char* text = static_cast<const char*>(buf);
    if (buflen == VEL_NULLTERM)
      context->interfaces_file.assign(text);
    else if (buflen >= 0)
      context->interfaces_file.assign(text, static_cast<size_t>(buflen));
    else
      return VEL_FAIL;
    return VEL_SUCCEED;
  }

  if (action == VEL_GET) {
    const std::string& path = context->interfaces_file;
    const auto length = static_cast<int32_t>(path.size());
    if (outlen) *outlen = length;
    // The value is handed back terminated, so it needs one byte more.
    if (!buf || buflen <= length) return VEL_FAIL;
    std::memcpy(buf, path.c_str(), path.size() + 1);
    return VEL_SUCCEED;
  }
  return VEL_FAIL;
}

}  // extern "C"
