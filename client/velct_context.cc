// The context calls: allocation, start-up and shutdown, callbacks and
// configuration.
#include <algorithm>
#include <cstring>

#include "velct_state.h"

using velct::detail::CallFails;
using velct::detail::Fn;
using velct::detail::GlobalState;

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

// Sets or gets a callback of the context; false for a type it does not
// keep. Caller holds the shared lock (the message callbacks are atomic, as
// connections read them without it).
bool ContextCallback(cs_context& ctx, int32_t type, bool set, void*& func) {
  switch (type) {
    case VEL_CB_SERVERMSG:
      if (set)
        ctx.server_message.store(reinterpret_cast<cs_servermsg_fn>(func));
      else
        func = reinterpret_cast<void*>(ctx.server_message.load());
      return true;
    case VEL_CB_CLIENTMSG:
      if (set)
        ctx.client_message.store(reinterpret_cast<cs_clientmsg_fn>(func));
      else
        func = reinterpret_cast<void*>(ctx.client_message.load());
      return true;
    case VEL_CB_CHALLENGE:
      if (set)
        ctx.challenge = reinterpret_cast<cs_challenge_fn>(func);
      else
        func = reinterpret_cast<void*>(ctx.challenge);
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" {

VEL_EXPORT int32_t VEL_CDECL cs_ctx_alloc(int32_t version, cs_context** ctx) {
  if (CallFails(Fn::kCsCtxAlloc) || !ctx || version != VEL_CS_VERSION) return VEL_FAIL;
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  cs_context* context = state.contexts.Take();
  if (!context) return VEL_FAIL;
  context->version = version;
  context->initialised = false;
  context->server_message.store(nullptr);
  context->client_message.store(nullptr);
  context->challenge = nullptr;
  context->interfaces_file.clear();
  state.last_allocated = context;
  *ctx = context;
  return VEL_SUCCEED;
}

VEL_EXPORT int32_t VEL_CDECL cs_ctx_drop(cs_context* ctx) {
  if (CallFails(Fn::kCsCtxDrop)) return VEL_FAIL;
  // A context may be dropped whether or not ct_exit succeeded on it; its
  // connections go with it. It is dead from here on, so that no
  // connection is added to it while they are dropped.
  {
    auto& state = GlobalState();
    vel::os::MutexLock lock(state.mutex);
    if (!state.Find(ctx)) return VEL_FAIL;
    ctx->initialised = false;
    state.contexts.Give(ctx);
  }
  velct::detail::DropConnectionsOf(ctx);
  return VEL_SUCCEED;
}

VEL_EXPORT int32_t VEL_CDECL ct_init(cs_context* ctx, int32_t version) {
  if (CallFails(Fn::kCtInit)) return VEL_FAIL;
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  cs_context* context = state.Find(ctx);
  if (!context || version != VEL_CS_VERSION) return VEL_FAIL;
  context->initialised = true;
  return VEL_SUCCEED;
}

VEL_EXPORT int32_t VEL_CDECL ct_exit(cs_context* ctx, int32_t option) {
  if (CallFails(Fn::kCtExit)) return VEL_FAIL;
  {
    auto& state = GlobalState();
    vel::os::MutexLock lock(state.mutex);
    cs_context* context = state.Find(ctx);
    if (!context || !context->initialised) return VEL_FAIL;
    if (option != VEL_FORCE_EXIT && option != VEL_UNUSED) return VEL_FAIL;
    // Without force, open connections keep the library up; with force they
    // are closed and dropped. Either way no connection is added from here.
    const auto& live = state.connections.live();
    const bool has_connections = std::any_of(live.begin(), live.end(), [context](cs_connection* c) {
      return c->context.load(std::memory_order_acquire) == context;
    });
    if (has_connections && option != VEL_FORCE_EXIT) return VEL_FAIL;
    context->initialised = false;
  }
  velct::detail::DropConnectionsOf(ctx);
  return VEL_SUCCEED;
}

VEL_EXPORT int32_t VEL_CDECL ct_callback(cs_context* ctx, cs_connection* con, int32_t action,
                                         int32_t type, void* func) {
  if (CallFails(Fn::kCtCallback)) return VEL_FAIL;
  if (action != VEL_SET && !(action == VEL_GET && func)) return VEL_FAIL;
  // A connection's callbacks are reached through the connection alone.
  if (con) {
    if (ctx) return VEL_FAIL;
    velct::detail::HeldConnection connection(con);
    if (!connection) return VEL_FAIL;
    void** slot = CallbackSlot(*connection.get(), type);
    if (!slot) return VEL_FAIL;
    if (action == VEL_SET)
      *slot = func;  // null removes the callback
    else
      *static_cast<void**>(func) = *slot;
    return VEL_SUCCEED;
  }
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  cs_context* context = state.Find(ctx);
  if (!context || !context->initialised) return VEL_FAIL;
  if (action == VEL_SET)
    return ContextCallback(*context, type, true, func) ? VEL_SUCCEED : VEL_FAIL;
  void* got = nullptr;
  if (!ContextCallback(*context, type, false, got)) return VEL_FAIL;
  *static_cast<void**>(func) = got;
  return VEL_SUCCEED;
}

VEL_EXPORT int32_t VEL_CDECL ct_config(cs_context* ctx, int32_t action, int32_t property, void* buf,
                                       int32_t buflen, int32_t* outlen) {
  if (CallFails(Fn::kCtConfig)) return VEL_FAIL;
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  cs_context* context = state.Find(ctx);
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
