// The command calls: a language batch is initiated, sent, and its results
// read one by one, with their columns described, bound and fetched.
#include <algorithm>
#include <cstring>
#include <string>

#include "velct_call.h"
#include "velct_convert.h"

using velct::kMsgBadArgument;
using velct::kMsgOutOfSequence;
using velct::detail::Outbox;
using velct::detail::RunCall;
using velct::detail::State;

namespace {

int32_t Refuse(Outbox& out, cs_command* cmd, velct::ClientCode code, const std::string& text) {
  return velct::detail::Refuse(out, cmd->connection, code, text);
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
  return RunCall("ct_cmd_alloc", [&](State& state, Outbox&) -> int32_t {
    cs_connection* connection = state.Find(con);
    if (!connection || !cmd) return VEL_FAIL;
    auto command = std::make_unique<cs_command>();
    command->connection = connection;
    *cmd = command.get();
    connection->commands.insert(*cmd);
    state.commands.emplace(*cmd, std::move(command));
    return VEL_SUCCEED;
  });
}

VEL_EXPORT int32_t VEL_CDECL ct_command(cs_command* cmd, int32_t type, const char* text,
                                        int32_t length, int32_t /*option*/) {
  return RunCall("ct_command", [&](State& state, Outbox& out) -> int32_t {
    cs_command* command = state.Find(cmd);
    if (!command) return VEL_FAIL;
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
  return RunCall("ct_send", [&](State& state, Outbox& out) -> int32_t {
    cs_command* command = state.Find(cmd);
    if (!command) return VEL_FAIL;
    if (command->phase != CommandPhase::kInitiated)
      return Refuse(out, command, kMsgOutOfSequence, "ct_send(): no command was initiated");
    if (!command->connection->session)
      return Refuse(out, command, kMsgOutOfSequence, "ct_send(): the connection is not open");
    out.Address(command->connection->context, command->connection);
    command->results = command->connection->session->Run(command->text, out);
    command->phase = CommandPhase::kSent;
    command->has_result = false;
    command->bindings.clear();
    return VEL_SUCCEED;
  });
}

VEL_EXPORT int32_t VEL_CDECL ct_results(cs_command* cmd, int32_t* result_type) {
  return RunCall("ct_results", [&](State& state, Outbox& out) -> int32_t {
    cs_command* command = state.Find(cmd);
    if (!command) return VEL_FAIL;
    if (command->phase != CommandPhase::kSent)
      return Refuse(out, command, kMsgOutOfSequence, "ct_results(): no batch was sent");
    if (!result_type) return Refuse(out, command, kMsgBadArgument, "ct_results(): no result type");
    if (Fetchable(command) && !command->rows_ended)
      return Refuse(out, command, kMsgOutOfSequence,
                    "ct_results(): rows of the current result are still to be fetched");
    out.Address(command->connection->context, command->connection);
    if (!command->results->NextResult(out)) {
      command->EndResults();
      return VEL_END_RESULTS;
    }
    command->has_result = true;
    command->rows_ended = false;
    command->rows_fetched = 0;
    command->bindings.assign(command->results->columns().size(), Binding{});
    *result_type = command->results->type();
    return VEL_SUCCEED;
  });
}

VEL_EXPORT int32_t VEL_CDECL ct_res_info(cs_command* cmd, int32_t type, void* buf,
                                         int32_t /*buflen*/, int32_t* outlen) {
  return RunCall("ct_res_info", [&](State& state, Outbox& out) -> int32_t {
    cs_command* command = state.Find(cmd);
    if (!command) return VEL_FAIL;
    if (!HasResult(command))
      return Refuse(out, command, kMsgOutOfSequence, "ct_res_info(): there is no current result");
    if (!buf) return Refuse(out, command, kMsgBadArgument, "ct_res_info(): no buffer");
    int32_t value = 0;
    if (type == VEL_ROW_COUNT) {
      // Command done reports its count; a result with rows, the rows
      // fetched so far.
      int64_t count = command->results->type() == VEL_CMD_DONE ? command->results->row_count()
                      : Fetchable(command)                     ? command->rows_fetched
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
  return RunCall("ct_describe", [&](State& state, Outbox& out) -> int32_t {
    cs_command* command = state.Find(cmd);
    if (!command) return VEL_FAIL;
    if (!HasResult(command))
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
  return RunCall("ct_bind", [&](State& state, Outbox& out) -> int32_t {
    cs_command* command = state.Find(cmd);
    if (!command) return VEL_FAIL;
    if (item == VEL_UNUSED) {
      for (Binding& b : command->bindings) b = Binding{};
      return VEL_SUCCEED;
    }
    if (!Fetchable(command) || command->phase != CommandPhase::kSent)
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
  const int32_t result = RunCall("ct_fetch", [&](State& state, Outbox& out) -> int32_t {
    cs_command* command = state.Find(cmd);
    if (!command) return VEL_FAIL;
    if (type != VEL_UNUSED || offset != VEL_UNUSED || option != VEL_UNUSED)
      return Refuse(out, command, kMsgBadArgument, "ct_fetch(): only one row at a time is served");
    if (!Fetchable(command) || command->phase != CommandPhase::kSent)
      return Refuse(out, command, kMsgOutOfSequence, "ct_fetch(): there is no result with rows");
    if (rows_read) *rows_read = 0;
    if (command->rows_ended) return VEL_END_DATA;
    out.Address(command->connection->context, command->connection);
    velct::detail::ResultStream& results = *command->results;
    if (!results.NextRow(out)) {
      command->rows_ended = true;
      return VEL_END_DATA;
    }
    fetched = ++command->rows_fetched;
    for (size_t i = 0; i < command->bindings.size(); ++i) {
      const Binding& b = command->bindings[i];
      if (b.bound) velct::detail::DeliverValue(results.cell(i), b, static_cast<int>(i + 1), out);
    }
    if (rows_read) *rows_read = 1;
    return VEL_SUCCEED;
  });
  // Reported outside the lock, on the fetching thread.
  const int64_t every = velct::detail::ProgressEvery().load();
  velct::FetchProgress progress = velct::detail::ProgressCallback().load();
  if (progress != nullptr && every > 0 && fetched > 0 && fetched % every == 0) progress(fetched);
  return result;
}

VEL_EXPORT int32_t VEL_CDECL ct_cancel(cs_connection* con, cs_command* cmd, int32_t type) {
  return RunCall("ct_cancel", [&](State& state, Outbox& out) -> int32_t {
    cs_command* command = cmd ? state.Find(cmd) : nullptr;
    cs_connection* connection = con ? state.Find(con) : nullptr;
    if ((cmd && !command) || (con && !connection) || (!command && !connection)) return VEL_FAIL;
    if (type != VEL_CANCEL_ALL)
      return velct::detail::Refuse(out, command ? command->connection : connection, kMsgBadArgument,
                                   "ct_cancel(): only cancel-all is served");
    if (command) {
      command->EndResults();
    } else {
      for (cs_command* each : connection->commands) state.Find(each)->EndResults();
    }
    return VEL_SUCCEED;
  });
}

VEL_EXPORT int32_t VEL_CDECL ct_cmd_drop(cs_command* cmd) {
  return RunCall("ct_cmd_drop", [&](State& state, Outbox&) -> int32_t {
    // Pending results go with the command.
    if (!state.Find(cmd)) return VEL_FAIL;
    state.Drop(cmd);
    return VEL_SUCCEED;
  });
}

}  // extern "C"
