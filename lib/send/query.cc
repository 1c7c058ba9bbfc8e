// The query connection back to the database server: set-up, the batches,
// the result loop, and the messages the connection raises.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "frame/errors.h"
#include "frame/reporters.h"
#include "frame/srvblock.h"
#include "frame/startup.h"
#include "send/send.h"

namespace {

constexpr int32_t kMessageBufferSize = 1024;
constexpr int32_t kServerNameSize = 30;
// Server message that announces a database switch: passed on, never
// recorded.
constexpr int32_t kDatabaseChanged = 5701;
// The room a recorded message needs besides its text.
constexpr int32_t kRecordOverhead = 200;

// Moves the pending piece to the end of the output. False (reported) when
// the output cannot grow.
bool AppendPending(sm_text* output, sm_text* pending) {
  if (pending->block == nullptr) return true;
  if (output->block == nullptr) {
    // Nothing before it: the piece becomes the output, uncopied.
    output->block = pending->block;
    output->length = pending->length;
    pending->block = nullptr;
    pending->length = 0;
    return true;
  }
  const bool ok =
      sm_appendtext(output, pending->block, pending->length, SM_REPORTER_PROCESSRESULTS);
  sm_freetext(pending);
  return ok;
}

// A status result: each value fetched becomes a "return status" line when
// echo_error is set. False when the result loop must stop.
bool TakeStatus(cs_command* command, sm_text* output, const sm_sendmail_params* record) {
  srv_proc* thread = nullptr;
  if (!sm_findcurrentthread(&thread)) {
    sm_raise(nullptr, 0, SM_MSG_NO_CURRENT_THREAD, SM_REPORTER_PROCESSRESULTS, 0);
    return false;
  }
  cs_datafmt description;
  memset(&description, 0, sizeof(description));
  if (ct_describe(command, 1, &description) != VEL_SUCCEED) {
    sm_raise(nullptr, 0, SM_MSG_LIBRARY_CALL_FAILED, "ct_describe", 0);
    return false;
  }
  description.datatype = VEL_INT_TYPE;
  description.maxlength = sizeof(int32_t);
  int32_t value = 0;
  int32_t copied = 0;
  int16_t indicator = 0;
  if (ct_bind(command, 1, &description, &value, &copied, &indicator) != VEL_SUCCEED) {
    sm_raise(nullptr, 0, SM_MSG_LIBRARY_CALL_FAILED, "ct_bind", 0);
    return false;
  }
  int32_t fetched;
  int32_t rows = 0;
  while ((fetched = ct_fetch(command, VEL_UNUSED, VEL_UNUSED, VEL_UNUSED, &rows)) == VEL_SUCCEED) {
    if (!record->echo_error) continue;
    constexpr int32_t kLineSize = 32;  // "\nreturn status = " and the most negative value
    sm_srvblock line;
    if (!line.Allocate(kLineSize)) {
      sm_raise(nullptr, 0, SM_MSG_NO_MEMORY, SM_REPORTER_PROCESSRESULTS, kLineSize);
      return false;
    }
    const int n = snprintf(line.as<char>(), kLineSize, "\nreturn status = %d", value);
    if (!sm_appendtext(output, line.as<char>(), n, SM_REPORTER_PROCESSRESULTS)) return false;
  }
  return fetched != VEL_FAIL;
}

// A command-done result. False when the result loop must stop.
bool TakeDone(cs_command* command, sm_text* output, sm_text* pending,
              const sm_sendmail_params* record) {
  if (!record->echo_error) return AppendPending(output, pending);
  int32_t count = 0;
  if (ct_res_info(command, VEL_ROW_COUNT, &count, VEL_UNUSED, nullptr) != VEL_SUCCEED) {
    sm_raise(nullptr, 0, SM_MSG_LIBRARY_CALL_FAILED, "ct_res_info", 0);
    return false;
  }
  if (count != -1) {
    char line[48];
    const int n = snprintf(line, sizeof(line), "\n(%d rows affected)", count);
    if (!sm_appendtext(pending, line, n, SM_REPORTER_PROCESSRESULTS)) return false;
  }
  return AppendPending(output, pending);
}

// Appends one message record to the buffer when it fits whole.
void Record(char* buffer, const std::string& record) {
  const size_t used = strlen(buffer);
  if (used + record.size() + 1 > static_cast<size_t>(kMessageBufferSize)) return;
  memcpy(buffer + used, record.data(), record.size());
  buffer[used + record.size()] = '\0';
}

// The room rule: a text fits when its length plus the record's own room
// stays within what the buffer has left.
bool Fits(const char* buffer, int32_t textlen) {
  const int32_t used = static_cast<int32_t>(strlen(buffer));
  return textlen + kRecordOverhead <= kMessageBufferSize - used;
}

const std::string kBlanks33(33, ' ');

// While this thread's ct_connect for the query connection runs (the client
// library calls back on the thread whose call raised a message): where the
// client messages raised then are kept. When the connection cannot be made
// they tell why, and no mail will carry the message buffer, so they go to
// the caller and to the host log before the 11544 that ends the call.
thread_local std::vector<cs_clientmsg>* t_connect_messages = nullptr;

// Hands a client message to the caller, as server messages are, and writes
// its text to the host log.
void ForwardClientMessage(srv_proc* thread, const cs_clientmsg& m) {
  const int32_t textlen = std::clamp<int32_t>(m.msgstringlen, 0, sizeof(m.msgstring));
  cs_servermsg forwarded;
  memset(&forwarded, 0, sizeof(forwarded));
  forwarded.msgnumber = m.msgnumber;
  forwarded.severity = m.severity;
  memcpy(forwarded.text, m.msgstring, static_cast<size_t>(textlen));
  forwarded.textlen = textlen;
  if (srv_sendinfo(thread, &forwarded, 0) == VEL_SUCCEED)
    srv_senddone(thread, VEL_DONE_FINAL, 0, 0);
  std::string line = "Velmail: ";
  line.append(m.msgstring, static_cast<size_t>(textlen));
  line += "\n";
  srv_log(nullptr, 1, line.c_str(), static_cast<int32_t>(line.size()));
}

}  // namespace

int32_t sm_initsqlconn(srv_proc* thread, cs_connection** connection, sm_sendmail_params* record) {
  *connection = nullptr;
  // The connection's message buffer: the connection owns it once connected
  // (see sm_runquery); on failure it goes after the connection.
  sm_srvblock buffer_block;
  char* buffer = nullptr;
  int32_t status = ct_con_alloc(sm_state.ctx, connection);
  if (status == VEL_FAIL) sm_raise(nullptr, 0, SM_MSG_LIBRARY_CALL_FAILED, "ct_con_alloc", 0);

  auto step = [&](int32_t result, const char* call) {
    status = result;
    if (status == VEL_FAIL) sm_raise(nullptr, 0, SM_MSG_LIBRARY_CALL_FAILED, call, 0);
  };
  if (status != VEL_FAIL) {
    int32_t on = 1;
    step(ct_con_props(*connection, VEL_SET, VEL_PROP_9136, &on, VEL_UNUSED, nullptr),
         "ct_con_props");
  }
  if (status != VEL_FAIL) {
    char login[] = "velmail";
    step(ct_con_props(*connection, VEL_SET, VEL_PROP_USERNAME, login, VEL_NULLTERM, nullptr),
         "ct_con_props");
  }
  if (status != VEL_FAIL) {
    sm_param* dbuser = &record->params[SM_SEND_DBUSER];
    step(ct_con_props(*connection, VEL_SET, VEL_PROP_PASSWORD, dbuser->value, dbuser->length,
                      nullptr),
         "ct_con_props");
  }
  if (status != VEL_FAIL) {
    step(ct_callback(nullptr, *connection, VEL_SET, VEL_CB_CLIENTMSG,
                     reinterpret_cast<void*>(&sm_clientmsg_cb)) == VEL_SUCCEED,
         "ct_callback");
  }
  if (status != VEL_FAIL) {
    step(ct_callback(nullptr, *connection, VEL_SET, VEL_CB_SERVERMSG,
                     reinterpret_cast<void*>(&sm_servermsg_cb)) == VEL_SUCCEED,
         "ct_callback");
  }
  if (status != VEL_FAIL) {
    if (buffer_block.Allocate(kMessageBufferSize)) buffer = buffer_block.as<char>();
    if (buffer == nullptr) {
      sm_raise(nullptr, 0, SM_MSG_NO_MEMORY, "sm_initsqlconn", kMessageBufferSize);
      status = VEL_FAIL;
    } else {
      srv_bzero(buffer, kMessageBufferSize);
    }
  }
  if (status != VEL_FAIL) {
    step(ct_con_props(*connection, VEL_SET, VEL_PROP_USERDATA, &buffer, sizeof(buffer), nullptr),
         "ct_con_props");
  }
  char server[kServerNameSize];
  int32_t server_length = 0;
  if (status != VEL_FAIL) {
    step(srv_thread_props(thread, VEL_GET, VEL_TPROP_SERVER_NAME, server, sizeof(server),
                          &server_length),
         "srv_thread_props");
  }
  if (status != VEL_FAIL) {
    server_length = std::clamp<int32_t>(server_length, 0, sizeof(server));
    std::vector<cs_clientmsg> connect_messages;
    t_connect_messages = &connect_messages;
    const int32_t connected = ct_connect(*connection, server, server_length);
    t_connect_messages = nullptr;
    if (connected == VEL_FAIL)
      for (const cs_clientmsg& m : connect_messages) ForwardClientMessage(thread, m);
    step(connected, "ct_connect");
  }

  if (status == VEL_FAIL) {
    if (*connection != nullptr) {
      ct_close(*connection, VEL_FORCE_CLOSE);
      ct_con_drop(*connection);
      *connection = nullptr;
    }
    buffer_block.Free();
    sm_raise(thread, 0, SM_MSG_FAILED, nullptr, 0);
  } else {
    buffer_block.release();  // the connection's now
  }
  return status;
}

int32_t sm_sendlang(srv_proc* thread, cs_command* command, const char* text) {
  if (ct_command(command, VEL_LANG_CMD, text, VEL_NULLTERM, VEL_UNUSED) != VEL_SUCCEED) {
    sm_raise_failed(thread, SM_MSG_LIBRARY_CALL_FAILED, "ct_command", 0);
    return 0;
  }
  if (ct_send(command) != VEL_SUCCEED) {
    sm_raise_failed(thread, SM_MSG_LIBRARY_CALL_FAILED, "ct_send", 0);
    return 0;
  }
  return 1;
}

int32_t sm_processresults(cs_connection* connection, cs_command* command, sm_text* text,
                          sm_sendmail_params* record) {
  bool row_count = true;
  bool stopped = false;
  sm_text pending;
  int32_t type = 0;
  int32_t rc;
  while (!stopped && (rc = ct_results(command, &type)) == VEL_SUCCEED) {
    switch (type) {
      case VEL_ROW_RESULT:
      case VEL_CURSOR_RESULT:
      case VEL_PARAM_RESULT:
      case VEL_COMPUTE_RESULT:
        // Text still pending from an earlier result set goes out first
        // rather than being replaced and lost.
        stopped = !AppendPending(text, &pending) ||
                  !sm_fetchandlayout(connection, command, &pending, record);
        row_count = true;
        break;
      case VEL_STATUS_RESULT:
        row_count = false;
        stopped = !TakeStatus(command, text, record);
        break;
      case VEL_CMD_DONE:
        if (row_count) stopped = !TakeDone(command, text, &pending, record);
        break;
      case VEL_CMD_SUCCEED:
        break;
      case VEL_CMD_FAIL:
        row_count = false;
        break;
      default:
        sm_raise(nullptr, 0, SM_MSG_UNEXPECTED_RESULT, nullptr, type);
        stopped = true;
        break;
    }
  }
  // Text no command-done result appended is kept too.
  if (!stopped && rc == VEL_END_RESULTS) stopped = !AppendPending(text, &pending);
  sm_freetext(&pending);
  if (stopped) {
    sm_raise(sm_currentthread(), 0, SM_MSG_FAILED, nullptr, 0);
    return 0;
  }
  return rc == VEL_END_RESULTS ? 1 : 0;
}

int32_t sm_runquery(srv_proc* thread, sm_sendmail_params* record, sm_text* text) {
  sm_freetext(text);
  cs_connection* connection = nullptr;
  if (sm_initsqlconn(thread, &connection, record) == VEL_FAIL) return 0;

  int32_t status = 1;
  cs_command* command = nullptr;
  if (ct_cmd_alloc(connection, &command) != VEL_SUCCEED) {
    sm_raise_failed(thread, SM_MSG_LIBRARY_CALL_FAILED, "ct_cmd_alloc", 0);
    command = nullptr;
    status = 0;
  }
  const sm_param* dbname = &record->params[SM_SEND_DBNAME];
  if (status == 1 && !(dbname->length == 6 && memcmp(dbname->value, "master", 6) == 0)) {
    // Any length of name fits: the command is built to size.
    std::string use = "use " + std::string(dbname->value, static_cast<size_t>(dbname->length));
    if (!sm_sendlang(thread, command, use.c_str()) ||
        !sm_processresults(connection, command, text, record)) {
      status = 0;
    }
    sm_freetext(text);  // the switch's own output is not part of the result
  }
  if (status == 1) {
    status = sm_sendlang(thread, command, sm_paramtext(&record->params[SM_SEND_QUERY])) &&
             sm_processresults(connection, command, text, record);
  }

  char* buffer = nullptr;
  if (ct_con_props(connection, VEL_GET, VEL_PROP_USERDATA, &buffer, sizeof(buffer), nullptr) !=
      VEL_SUCCEED) {
    sm_raise_failed(thread, SM_MSG_LIBRARY_CALL_FAILED, "ct_con_props", 0);
    buffer = nullptr;
    status = 0;
  }
  // Released after the teardown below, so that no message can land in it
  // later.
  sm_srvblock buffer_block;
  sm_srvblock::Adopt(&buffer_block, buffer);
  if (status == 1 && record->echo_error && buffer != nullptr && buffer[0] != '\0') {
    if (!sm_appendtext(text, buffer, static_cast<int32_t>(strlen(buffer)), "sm_runquery")) {
      sm_raise(thread, 0, SM_MSG_FAILED, nullptr, 0);
      status = 0;
    }
  }

  bool torn_down = true;
  if (command != nullptr && ct_cmd_drop(command) != VEL_SUCCEED) {
    sm_raise_failed(thread, SM_MSG_LIBRARY_CALL_FAILED, "ct_cmd_drop", 0);
    torn_down = false;
  }
  if (torn_down && ct_close(connection, VEL_FORCE_CLOSE) != VEL_SUCCEED) {
    sm_raise_failed(thread, SM_MSG_LIBRARY_CALL_FAILED, "ct_close", 0);
    torn_down = false;
  }
  if (torn_down && ct_con_drop(connection) != VEL_SUCCEED) {
    sm_raise_failed(thread, SM_MSG_LIBRARY_CALL_FAILED, "ct_con_drop", 0);
    torn_down = false;
  }
  if (!torn_down) status = 0;
  return status;
}

void sm_displaymessage(cs_connection* connection, int32_t kind, void* message) {
  srv_proc* thread = nullptr;
  if (!sm_findcurrentthread(&thread)) {
    sm_raise(nullptr, 0, SM_MSG_NO_CURRENT_THREAD, SM_REPORTER_DISPLAYERR, 0);
    return;
  }
  char* buffer = nullptr;
  if (ct_con_props(connection, VEL_GET, VEL_PROP_USERDATA, &buffer, sizeof(buffer), nullptr) !=
      VEL_SUCCEED) {
    sm_raise_failed(thread, SM_MSG_LIBRARY_CALL_FAILED, "ct_con_props()", 0);
    return;
  }
  char line[256];
  if (kind == 1) {
    const auto* m = static_cast<const cs_clientmsg*>(message);
    const int32_t textlen = std::clamp<int32_t>(m->msgstringlen, 0, sizeof(m->msgstring));
    if (t_connect_messages != nullptr) {
      try {
        t_connect_messages->push_back(*m);
      } catch (const std::bad_alloc&) {
        // Only the mail's record of it is kept.
      }
    }
    if (buffer == nullptr || !Fits(buffer, textlen)) return;
    const uint32_t number = static_cast<uint32_t>(m->msgnumber);
    std::string record = "\nNexlink Message:\n";
    snprintf(line, sizeof(line), "Message Number: LAYER = (%ld)", static_cast<long>(number >> 24));
    record += line + kBlanks33;
    snprintf(line, sizeof(line), "ORIGIN = (%ld) SEVERITY = (%ld)",
             static_cast<long>((number >> 16) & 0xFF), static_cast<long>((number >> 8) & 0xFF));
    record += line + kBlanks33;
    snprintf(line, sizeof(line), "NUMBER = (%ld)\n", static_cast<long>(number & 0xFF));
    record += line;
    record.append(m->msgstring, static_cast<size_t>(textlen));
    record += "\n";
    Record(buffer, record);
    return;
  }

  auto* m = static_cast<cs_servermsg*>(message);
  if (srv_sendinfo(thread, m, 0) == VEL_SUCCEED) srv_senddone(thread, VEL_DONE_FINAL, 0, 0);
  const int32_t textlen = std::clamp<int32_t>(m->textlen, 0, sizeof(m->text));
  if (buffer == nullptr || m->msgnumber == kDatabaseChanged || !Fits(buffer, textlen)) return;
  std::string record = "\nServer Message:\n";
  snprintf(line, sizeof(line), "Message number: %ld,", static_cast<long>(m->msgnumber));
  record += line + kBlanks33;
  snprintf(line, sizeof(line), "Severity %ld,", static_cast<long>(m->severity));
  record += line + kBlanks33;
  snprintf(line, sizeof(line), "State %ld, Line %ld\n", static_cast<long>(m->state),
           static_cast<long>(m->line));
  record += line;
  const int32_t server_length = std::clamp<int32_t>(m->svrnlen, 0, sizeof(m->svrname));
  if (server_length != 0) {
    record.append(m->svrname, static_cast<size_t>(server_length));
    record += ": ";
  }
  if (m->proclen != 0) {
    record += "Procedure '";
    record.append(m->proc, strnlen(m->proc, sizeof(m->proc)));
    record += "': ";
  }
  record.append(m->text, static_cast<size_t>(textlen));
  record += "\n";
  Record(buffer, record);
}

extern "C" int32_t VEL_CDECL sm_clientmsg_cb(cs_context*, cs_connection* connection,
                                             cs_clientmsg* message) {
  sm_displaymessage(connection, 1, message);
  return 1;
}

extern "C" int32_t VEL_CDECL sm_servermsg_cb(cs_context*, cs_connection* connection,
                                             cs_servermsg* message) {
  sm_displaymessage(connection, 0, message);
  return 1;
}
