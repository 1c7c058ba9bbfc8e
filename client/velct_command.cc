// The command calls: a language batch is initiated, sent, and its results
// read one by one, with their columns described, bound and fetched.
#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "velct_call.h"
#include "velct_convert.h"

using velct::kMsgBadArgument;
using velct::kMsgCanceled;
using velct::kMsgOutOfSequence;
using velct::detail::CallFails;
using velct::detail::Fn;
using velct::detail::HeldCommand;
using velct::detail::HeldConnection;
using velct::detail::Outbox;
using velct::detail::RunCommandCall;

namespace {

int32_t Refuse(Outbox& out, HeldCommand& cmd, velct::ClientCode code, const std::string& text) {
  return velct::detail::Refuse(out, cmd.connection().get(), code, text);
}

// Where the messages of a call on the command go.
void Address(Outbox& out, HeldCommand& cmd) {
  cs_connection* con = cmd.connection().get();
  out.Address(con->context.load(std::memory_order_relaxed), con);
}

// A call that a canceller interrupted gives up what it read: the results
// end, and the messages the server sent meanwhile (its answer to the
// cancel among them) are left out.
int32_t GiveUp(Outbox& out, HeldCommand& cmd, const char* call) {
  out.Drop();
  cmd->EndResults();
  return Refuse(out, cmd, kMsgCanceled, std::string(call) + ": canceled");
}

// Whether the current result has rows to fetch (or had them).
bool Fetchable(const cs_command* cmd) {
  return cmd->has_result && !cmd->results->columns().empty();
}

// A result is current: after ct_send, until the results are exhausted.
bool HasResult(const cs_command* cmd) {
  return cmd->phase == CommandPhase::kSent && cmd->has_result;
}

}  // namespace

void cs_command::EndResults() {
  results.reset();
  phase = CommandPhase::kIdle;
  has_result = false;
  bindings.clear();
}

extern "C" {

VEL_EXPORT int32_t VEL_CDECL ct_cmd_alloc(cs_connection* con, cs_command** cmd) {
  if (CallFails(Fn::kCtCmdAlloc)) return VEL_FAIL;
  HeldConnection connection(con);
  if (!connection || !cmd) return VEL_FAIL;
  auto& state = velct::detail::GlobalState();
  cs_command* command = nullptr;
  {
    vel::os::MutexLock lock(state.mutex);
    command = state.commands.Take();
  }
  if (!command) return VEL_FAIL;
  try {
    connection->commands.insert(command);
  } catch (const std::bad_alloc&) {
    vel::os::MutexLock lock(state.mutex);
    state.commands.Give(command);
    return VEL_FAIL;
  }
  // A record given back was reset by whoever dropped it; it becomes live
  // as its connection is set.
  command->connection.store(connection.get(), std::memory_order_release);
  *cmd = command;
  return VEL_SUCCEED;
}

VEL_EXPORT int32_t VEL_CDECL ct_command(cs_command* cmd, int32_t type, const char* text,
                                        int32_t length, int32_t /*option*/) {
  return RunCommandCall(Fn::kCtCommand, cmd, [&](HeldCommand& command, Outbox& out) -> int32_t {
    if (command->phase == CommandPhase::kSent)
      return Refuse(out, command, kMsgOutOfSequence,
                    "ct_command(): the results of the last batch are still pending");
    if (type != VEL_LANG_CMD)
      return Refuse(out, command, kMsgBadArgument,
                    "ct_command(): only language batches are served");
    if (!text || (length < 0 && length != VEL_NULLTERM))
      return Refuse(out, command, kMsgBadArgument, "ct_command(): bad text or length");
    command->text =
        length == VEL_NULLTERM ? std::string(text) : std::string(text, static_cast<size_t>(length));
    command->phase = CommandPhase::kInitiated;
    return VEL_SUCCEED;
  });
}

VEL_EXPORT int32_t VEL_CDECL ct_send(cs_command* cmd) {
  return RunCommandCall(Fn::kCtSend, cmd, [&](HeldCommand& command, Outbox& out) -> int32_t {
    if (command->phase != CommandPhase::kInitiated)
      return Refuse(out, command, kMsgOutOfSequence, "ct_send(): no command was initiated");
    cs_connection* con = command.connection().get();
    if (!con->session)
      return Refuse(out, command, kMsgOutOfSequence, "ct_send(): the connection is not open");
    Address(out, command);
    command->results = con->session->Run(command->text, out);
    command->phase = CommandPhase::kSent;
    command->has_result = false;
    command->bindings.clear();
    return VEL_SUCCEED;
  });
}

VEL_EXPORT int32_t VEL_CDECL ct_results(cs_command* cmd, int32_t* result_type) {
  return RunCommandCall(Fn::kCtResults, cmd, [&](HeldCommand& command, Outbox& out) -> int32_t {
    if (command->phase != CommandPhase::kSent)
      return Refuse(out, command, kMsgOutOfSequence, "ct_results(): no batch was sent");
    if (!result_type) return Refuse(out, command, kMsgBadArgument, "ct_results(): no result type");
    if (Fetchable(command.get()) && !command->rows_ended)
      return Refuse(out, command, kMsgOutOfSequence,
                    "ct_results(): rows of the current result are still to be fetched");
    Address(out, command);
    const bool more = command->results->NextResult(out);
    if (command.connection().Interrupted(command.get()))
      return GiveUp(out, command, "ct_results()");
    if (!more) {
      command->EndResults();
      return static_cast<int32_t>(VEL_END_RESULTS);
    }
    command->has_result = true;
    command->rows_ended = false;
    command->rows_fetched = 0;
    command->bindings.assign(command->results->columns().size(), Binding{});
    *result_type = command->results->type();
    return static_cast<int32_t>(VEL_SUCCEED);
  });
}

VEL_EXPORT int32_t VEL_CDECL ct_res_info(cs_command* cmd, int32_t type, void* buf,
                                         int32_t /*buflen*/, int32_t* outlen) {
  return RunCommandCall(Fn::kCtResInfo, cmd, [&](HeldCommand& command, Outbox& out) -> int32_t {
    if (!HasResult(command.get()))
      return Refuse(out, command, kMsgOutOfSequence, "ct_res_info(): there is no current result");
    if (!buf) return Refuse(out, command, kMsgBadArgument, "ct_res_info(): no buffer");
    int32_t value = 0;
    if (type == VEL_ROW_COUNT) {
      // Command done reports its count; a result with rows, the rows
      // fetched so far.
      int64_t count = command->results->type() == VEL_CMD_DONE ? command->results->row_count()
                      : Fetchable(command.get())               ? command->rows_fetched
                                                               : -1;
      value = static_cast<int32_t>(count);
    } else if (type == VEL_NUMDATA) {
      value = static_cast<int32_t>(command->results->columns().size());
    } else {
      return Refuse(out, command, kMsgBadArgument,
                    "ct_res_info(): unknown type " + std::to_string(type));
    }
    std::memcpy(buf, &value, sizeof value);
    if (outlen) *outlen = sizeof value;
    return VEL_SUCCEED;
  });
}

VEL_EXPORT int32_t VEL_CDECL ct_describe(cs_command* cmd, int32_t item, cs_datafmt* fmt) {
  return RunCommandCall(Fn::kCtDescribe, cmd, [&](HeldCommand& command, Outbox& out) -> int32_t {
    if (!HasResult(command.get()))
      return Refuse(out, command, kMsgOutOfSequence, "ct_describe(): there is no current result");
    const auto& columns = command->results->columns();
    if (!fmt || item < 1 || static_cast<size_t>(item) > columns.size())
      return Refuse(out, command, kMsgBadArgument,
                    "ct_describe(): no column " + std::to_string(item));
    const velct::detail::ColumnInfo& column = columns[static_cast<size_t>(item - 1)];
    *fmt = cs_datafmt{};
    fmt->namelen = static_cast<int32_t>(std::min(column.name.size(), sizeof fmt->name));
    std::memcpy(fmt->name, column.name.data(), static_cast<size_t>(fmt->namelen));
    fmt->datatype = column.datatype;
    fmt->maxlength = column.maxlength;
    fmt->count = 1;
    return VEL_SUCCEED;
  });
}

VEL_EXPORT int32_t VEL_CDECL ct_bind(cs_command* cmd, int32_t item, cs_datafmt* fmt, void* buf,
                                     int32_t* copied, int16_t* indicator) {
  return RunCommandCall(Fn::kCtBind, cmd, [&](HeldCommand& command, Outbox& out) -> int32_t {
    if (item == VEL_UNUSED) {
      for (Binding& b : command->bindings) b = Binding{};
      return VEL_SUCCEED;
    }
    if (!Fetchable(command.get()) || command->phase != CommandPhase::kSent)
      return Refuse(out, command, kMsgOutOfSequence, "ct_bind(): there is no result with rows");
    if (item < 1 || static_cast<size_t>(item) > command->bindings.size())
      return Refuse(out, command, kMsgBadArgument, "ct_bind(): no column " + std::to_string(item));
    if (!fmt || !buf || fmt->maxlength < 0 || !velct::detail::BindableType(fmt->datatype))
      return Refuse(out, command, kMsgBadArgument,
                    "ct_bind(): bad format or buffer for column " + std::to_string(item));
    command->bindings[static_cast<size_t>(item - 1)] =
        Binding{true, fmt->datatype, fmt->maxlength, buf, copied, indicator};
    return VEL_SUCCEED;
  });
}

VEL_EXPORT int32_t VEL_CDECL ct_fetch(cs_command* cmd, int32_t type, int32_t offset, int32_t option,
                                      int32_t* rows_read) {
  int64_t fetched = 0;
  const int32_t result =
      RunCommandCall(Fn::kCtFetch, cmd, [&](HeldCommand& command, Outbox& out) -> int32_t {
        if (type != VEL_UNUSED || offset != VEL_UNUSED || option != VEL_UNUSED)
          return Refuse(out, command, kMsgBadArgument,
                        "ct_fetch(): only one row at a time is served");
        if (!Fetchable(command.get()) || command->phase != CommandPhase::kSent)
          return Refuse(out, command, kMsgOutOfSequence,
                        "ct_fetch(): there is no result with rows");
        if (rows_read) *rows_read = 0;
        if (command->rows_ended) return VEL_END_DATA;
        Address(out, command);
        velct::detail::ResultStream& results = *command->results;
        const bool row = results.NextRow(out);
        if (command.connection().Interrupted(command.get()))
          return GiveUp(out, command, "ct_fetch()");
        if (!row) {
          command->rows_ended = true;
          return VEL_END_DATA;
        }
        fetched = ++command->rows_fetched;
        results.DeliverRow(command->bindings, out);
        if (rows_read) *rows_read = 1;
        return VEL_SUCCEED;
      });
  // Reported outside the lock, on the fetching thread.
  if (fetched > 0) {
    const int64_t every = velct::detail::g_progress_every.load(std::memory_order_relaxed);
    if (every > 0 && fetched % every == 0) {
      velct::FetchProgress progress = velct::detail::g_progress.load();
      if (progress != nullptr) progress(fetched);
    }
  }
  return result;
}

// A cancel from another thread while a call on the command (or, without a
// command, on the connection) is running interrupts that call: a call
// waiting for the server has the server stop the statement and returns
// VEL_FAIL with a client message. The cancel then ends whatever results
// the command has when it gets the connection.
VEL_EXPORT int32_t VEL_CDECL ct_cancel(cs_connection* con, cs_command* cmd, int32_t type) {
  if (CallFails(Fn::kCtCancel)) return VEL_FAIL;
  if (!con && !cmd) return VEL_FAIL;
  Outbox out;
  int32_t result = VEL_FAIL;
  {
    std::optional<HeldCommand> command;
    std::optional<HeldConnection> connection;
    if (cmd) {
      command.emplace(cmd, type == VEL_CANCEL_ALL);
      if (!*command) return VEL_FAIL;
      // The connection, when given too, is only checked to be one.
      if (con && con != command->connection().get() &&
          !(velct::detail::IsConnectionRecord(con) && con->context.load()))
        return VEL_FAIL;
    } else if (type == VEL_CANCEL_ALL) {
      connection.emplace(con, nullptr);
    } else {
      connection.emplace(con);
    }
    if (connection && !*connection) return VEL_FAIL;
    cs_connection* held = command ? command->connection().get() : connection->get();
    if (type != VEL_CANCEL_ALL) {
      result = velct::detail::Refuse(out, held, kMsgBadArgument,
                                     "ct_cancel(): only cancel-all is served");
    } else {
      if (command) {
        (*command)->EndResults();
      } else {
        for (cs_command* each : held->commands) each->EndResults();
      }
      result = VEL_SUCCEED;
    }
  }
  out.Deliver();
  return result;
}

VEL_EXPORT int32_t VEL_CDECL ct_cmd_drop(cs_command* cmd) {
  if (CallFails(Fn::kCtCmdDrop)) return VEL_FAIL;
  // Pending results go with the command; a call of another thread that
  // waits for the server on it is interrupted.
  HeldCommand command(cmd, true);
  if (!command) return VEL_FAIL;
  velct::detail::DropCommand(command.connection(), command.get());
  return VEL_SUCCEED;
}

}  // extern "C"
