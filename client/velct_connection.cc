// The connection calls: allocation, properties, connecting to a server
// through the interfaces file, closing and dropping.
//
// The user name and password are kept as properties; a PostgreSQL server
// takes them as the login, the other backends accept any.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "velct_backends.h"
#include "velct_call.h"
#include "velct_interfaces.h"

using velct::kMsgBadArgument;
using velct::kMsgCannotConnect;
using velct::kMsgOutOfSequence;
using velct::kMsgUnknownServer;
using velct::detail::CallFails;
using velct::detail::Fn;
using velct::detail::GlobalState;
using velct::detail::HeldConnection;
using velct::detail::Outbox;
using velct::detail::Refuse;
using velct::detail::RunConnectionCall;

namespace {

// A counted or NUL-terminated string argument; false for a bad length.
bool ReadString(const void* buf, int32_t buflen, std::string& out) {
  if (!buf) return false;
  const char* text = static_cast<const char*>(buf);
  if (buflen == VEL_NULLTERM)
    out.assign(text);
  else if (buflen >= 0)
    out.assign(text, static_cast<size_t>(buflen));
  else
    return false;
  return true;
}

// Hands a string back terminated; fails when buf has no room for it.
int32_t WriteString(const std::string& value, void* buf, int32_t buflen, int32_t* outlen) {
  const auto length = static_cast<int32_t>(value.size());
  if (outlen) *outlen = length;
  if (!buf || buflen <= length) return VEL_FAIL;
  std::memcpy(buf, value.c_str(), value.size() + 1);
  return VEL_SUCCEED;
}

int32_t SetProperty(cs_connection* con, int32_t property, void* buf, int32_t buflen, Outbox& out) {
  switch (property) {
    case VEL_PROP_USERNAME:
    case VEL_PROP_PASSWORD: {
      if (con->session)
        return Refuse(out, con, kMsgOutOfSequence,
                      "ct_con_props(): the login cannot change while connected");
      std::string& field = property == VEL_PROP_USERNAME ? con->user_name : con->password;
      std::string value;
      if (!ReadString(buf, buflen, value))
        return Refuse(out, con, kMsgBadArgument, "ct_con_props(): bad string or length");
      field = std::move(value);
      return VEL_SUCCEED;
    }
    case VEL_PROP_USERDATA: {
      // Opaque bytes, as many as the caller gives (a pointer, usually).
      if (!buf || buflen <= 0)
        return Refuse(out, con, kMsgBadArgument, "ct_con_props(): bad user data or length");
      const auto* bytes = static_cast<const unsigned char*>(buf);
      con->user_data.assign(bytes, bytes + buflen);
      return VEL_SUCCEED;
    }
    case VEL_PROP_9136:
      if (!buf) return Refuse(out, con, kMsgBadArgument, "ct_con_props(): no value");
      std::memcpy(&con->prop_9136, buf, sizeof con->prop_9136);
      return VEL_SUCCEED;
    default:
      return Refuse(out, con, kMsgBadArgument,
                    "ct_con_props(): unknown property " + std::to_string(property));
  }
}

int32_t GetProperty(cs_connection* con, int32_t property, void* buf, int32_t buflen,
                    int32_t* outlen, Outbox& out) {
  switch (property) {
    case VEL_PROP_USERNAME:
      return WriteString(con->user_name, buf, buflen, outlen);
    case VEL_PROP_PASSWORD:
      return WriteString(con->password, buf, buflen, outlen);
    case VEL_PROP_USERDATA: {
      const auto size = static_cast<int32_t>(con->user_data.size());
      if (outlen) *outlen = size;
      if (!buf || buflen < size)
        return Refuse(out, con, kMsgBadArgument, "ct_con_props(): user data buffer too small");
      if (size) std::memcpy(buf, con->user_data.data(), con->user_data.size());
      return VEL_SUCCEED;
    }
    case VEL_PROP_9136:
      if (!buf) return Refuse(out, con, kMsgBadArgument, "ct_con_props(): no buffer");
      std::memcpy(buf, &con->prop_9136, sizeof con->prop_9136);
      if (outlen) *outlen = sizeof con->prop_9136;
      return VEL_SUCCEED;
    default:
      return Refuse(out, con, kMsgBadArgument,
                    "ct_con_props(): unknown property " + std::to_string(property));
  }
}

// Opens the server end that the interfaces file names for the server, or a
// scripted server of that name when the file does not list it. The wait for
// the server holds the connection only.
int32_t Connect(HeldConnection& held, const std::string& server, Outbox& out) {
  cs_connection* con = held.get();
  cs_context* ctx = con->context.load(std::memory_order_relaxed);
  std::string interfaces;
  {
    auto& state = GlobalState();
    vel::os::MutexLock lock(state.mutex);
    interfaces = ctx->interfaces_file;
  }
  std::string problem;
  auto entry = velct::detail::LookUpServer(interfaces, server, problem);
  std::shared_ptr<const velct::Script> script;
  {
    auto& state = GlobalState();
    vel::os::MutexLock lock(state.mutex);
    if (!entry && state.scripted_servers.count(server))
      entry = velct::detail::ServerEntry{velct::detail::ServerEntry::Backend::kScript, server};
  }
  if (!entry && velct::detail::HostServerRegistered(server))
    entry = velct::detail::ServerEntry{velct::detail::ServerEntry::Backend::kHost, server};
  {
    auto& state = GlobalState();
    vel::os::MutexLock lock(state.mutex);
    if (entry && entry->backend == velct::detail::ServerEntry::Backend::kScript) {
      auto found = state.scripted_servers.find(entry->target);
      if (found != state.scripted_servers.end())
        script = std::make_shared<const velct::Script>(found->second);
    }
  }
  if (!entry)
    return Refuse(out, con, kMsgUnknownServer,
                  "ct_connect(): unknown server '" + server + "': " + problem);

  std::unique_ptr<velct::detail::Session> session;
  if (entry->backend == velct::detail::ServerEntry::Backend::kScript) {
    if (!script)
      return Refuse(out, con, kMsgUnknownServer,
                    "ct_connect(): no scripted server '" + entry->target + "' is registered");
    out.Address(ctx, con);
    session = velct::detail::OpenScriptSession(std::move(script), out);
  } else if (entry->backend == velct::detail::ServerEntry::Backend::kHost) {
    session = velct::detail::OpenHostSession(server, entry->target, con->user_name, problem);
    if (!session)
      return Refuse(out, con, kMsgCannotConnect,
                    "ct_connect(): cannot connect to server '" + server + "': " + problem);
  } else if (entry->backend == velct::detail::ServerEntry::Backend::kPostgres) {
    session = velct::detail::OpenPostgresSession(server, entry->target, con->user_name,
                                                 con->password, problem);
    if (!session)
      return Refuse(out, con, kMsgCannotConnect,
                    "ct_connect(): cannot connect to server '" + server + "': " + problem);
  } else {
    session = velct::detail::OpenSqliteSession(server, entry->target, problem);
    if (!session)
      return Refuse(out, con, kMsgCannotConnect,
                    "ct_connect(): cannot open database '" + entry->target + "': " + problem);
  }
  {
    vel::os::MutexLock lock(con->session_mutex);
    con->session = std::move(session);
  }
  con->server_name = server;
  return VEL_SUCCEED;
}

}  // namespace

extern "C" {

VEL_EXPORT int32_t VEL_CDECL ct_con_alloc(cs_context* ctx, cs_connection** con) {
  if (CallFails(Fn::kCtConAlloc) || !con) return VEL_FAIL;
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  cs_context* context = state.Find(ctx);
  if (!context || !context->initialised) return VEL_FAIL;
  // A record given back was reset by whoever dropped it; it becomes live
  // as its context is set.
  cs_connection* connection = state.connections.Take();
  if (!connection) return VEL_FAIL;
  connection->context.store(context, std::memory_order_release);
  *con = connection;
  return VEL_SUCCEED;
}

VEL_EXPORT int32_t VEL_CDECL ct_con_props(cs_connection* con, int32_t action, int32_t property,
                                          void* buf, int32_t buflen, int32_t* outlen) {
  return RunConnectionCall(Fn::kCtConProps, con, [&](HeldConnection& held, Outbox& out) -> int32_t {
    cs_connection* connection = held.get();
    if (action == VEL_SET) return SetProperty(connection, property, buf, buflen, out);
    if (action == VEL_GET) return GetProperty(connection, property, buf, buflen, outlen, out);
    return Refuse(out, connection, kMsgBadArgument, "ct_con_props(): unknown action");
  });
}

VEL_EXPORT int32_t VEL_CDECL ct_connect(cs_connection* con, const char* server, int32_t length) {
  return RunConnectionCall(Fn::kCtConnect, con, [&](HeldConnection& held, Outbox& out) -> int32_t {
    if (held->session)
      return Refuse(out, held.get(), kMsgOutOfSequence, "ct_connect(): already connected");
    std::string name;
    if (!ReadString(server, length, name))
      return Refuse(out, held.get(), kMsgBadArgument, "ct_connect(): bad server name or length");
    return Connect(held, name, out);
  });
}

VEL_EXPORT int32_t VEL_CDECL ct_close(cs_connection* con, int32_t option) {
  if (CallFails(Fn::kCtClose)) return VEL_FAIL;
  Outbox out;
  int32_t result = VEL_FAIL;
  {
    // With force, a call of another thread that waits for the server is
    // interrupted.
    const bool force = option == VEL_FORCE_CLOSE;
    std::optional<HeldConnection> held;
    if (force)
      held.emplace(con, nullptr);
    else
      held.emplace(con);
    if (!*held) return VEL_FAIL;
    cs_connection* connection = held->get();
    if (option != VEL_FORCE_CLOSE && option != VEL_UNUSED) {
      result = Refuse(out, connection, kMsgBadArgument, "ct_close(): unknown option");
    } else if (!connection->session) {
      // Closing what is not open is harmless under force.
      result = force ? VEL_SUCCEED
                     : Refuse(out, connection, kMsgOutOfSequence, "ct_close(): not connected");
    } else if (!force &&
               std::any_of(connection->commands.begin(), connection->commands.end(),
                           [](cs_command* cmd) { return cmd->phase == CommandPhase::kSent; })) {
      result = Refuse(out, connection, kMsgOutOfSequence,
                      "ct_close(): results are pending; cancel them or close with force");
    } else {
      // Results read from the session, so they end first.
      for (cs_command* cmd : connection->commands) cmd->EndResults();
      {
        vel::os::MutexLock lock(connection->session_mutex);
        connection->session.reset();
      }
      connection->server_name.clear();
      result = VEL_SUCCEED;
    }
  }
  out.Deliver();
  return result;
}

VEL_EXPORT int32_t VEL_CDECL ct_con_drop(cs_connection* con) {
  return RunConnectionCall(Fn::kCtConDrop, con, [&](HeldConnection& held, Outbox& out) -> int32_t {
    if (held->session)
      return Refuse(out, held.get(), kMsgOutOfSequence, "ct_con_drop(): close it first");
    velct::detail::DropConnection(held);
    return VEL_SUCCEED;
  });
}

}  // extern "C"
