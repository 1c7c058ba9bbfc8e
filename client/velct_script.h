// Scripted servers: a test defines, in its own process, a server name and
// the exact sequence of results, rows, messages and call failures the
// server answers with. A connection to that name (ct_connect) is answered
// from the script instead of a database.
//
//   velct::RegisterServer(velct::Script("SRV")
//       .Batch()                                   // answers the 1st ct_send
//         .Rows({velct::Col::Char("name", 30), velct::Col::Int("n")})
//           .Row({"x", 5}).Row({"yy", 10})
//         .Done(2)
//         .Status(-6)
//         .ServerMsg(2812, 16, "no such procedure")
//         .Failed().Done()
//       .Batch()                                   // answers the 2nd ct_send
//         .Result(4044)                            // a type the client does not expect
//   );
//
// How a script is read:
// - Every ct_connect to the server starts reading the script afresh; each
//   ct_send reads the next batch. A ct_send beyond the last batch reads an
//   empty one (ct_results returns end of results at once).
// - ct_results delivers the next result (Rows, Result, Status, Done,
//   Succeeded, Failed). ct_fetch delivers the rows of the current result
//   and returns end of data at the next result or the end of the batch.
// - A message is raised by the call that reads past its place: one before
//   a result by the ct_results that delivers it, one between rows by the
//   ct_fetch after it, one after the last row by the ct_fetch that returns
//   end of data, one at the end of a batch by the ct_results that returns
//   end of results. Messages before the first Batch() are raised by
//   ct_connect, as login messages.
// - FailCall installs a failure rule (as velct::Fail does) as soon as the
//   reading reaches its place: at ct_connect for those before the first
//   Batch(), at ct_send for those at the start of a batch, and right after
//   the result or row before it otherwise. So FailCall("ct_fetch") after
//   the 2nd row makes the ct_fetch that would deliver the 3rd row fail, and
//   FailCall("ct_bind") right after Rows(...) makes the first ct_bind of
//   that result fail.
// - ReceivedBatches tells which batch texts the server was sent.
#ifndef VELCT_SCRIPT_H
#define VELCT_SCRIPT_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "velcs.h"
#include "velct_control.h"

namespace velct {

// Result types a server delivers through ct_results.
inline constexpr int32_t kRowResult = VEL_ROW_RESULT;
inline constexpr int32_t kCursorResult = VEL_CURSOR_RESULT;
inline constexpr int32_t kParamResult = VEL_PARAM_RESULT;
inline constexpr int32_t kStatusResult = VEL_STATUS_RESULT;
inline constexpr int32_t kComputeResult = VEL_COMPUTE_RESULT;
inline constexpr int32_t kCmdDone = VEL_CMD_DONE;
inline constexpr int32_t kCmdSucceed = VEL_CMD_SUCCEED;
inline constexpr int32_t kCmdFail = VEL_CMD_FAIL;

// One value of a row. A value is delivered to a bound buffer as ct_fetch
// converts it: to text for a character binding, as raw bytes for a binary,
// image or text binding, as a number for an integer or float binding.
struct Value {
  enum class Kind { kNull, kInt, kReal, kText, kBytes };
  Kind kind = Kind::kNull;
  int64_t integer = 0;
  double real = 0;
  std::string bytes;

  Value() = default;  // NULL
  Value(int v) : kind(Kind::kInt), integer(v) {}
  Value(int64_t v) : kind(Kind::kInt), integer(v) {}
  Value(double v) : kind(Kind::kReal), real(v) {}
  Value(const char* text) : kind(Kind::kText), bytes(text) {}
  Value(std::string text) : kind(Kind::kText), bytes(std::move(text)) {}
  static Value Null() { return Value(); }
  // Raw bytes (a binary value); may hold NUL bytes.
  static Value Bytes(std::string raw) {
    Value v;
    v.kind = Kind::kBytes;
    v.bytes = std::move(raw);
    return v;
  }
};

// One column as ct_describe reports it: any name, datatype and maximum
// length.
struct Column {
  std::string name;
  int32_t datatype = VEL_CHAR_TYPE;
  int32_t maxlength = 255;
};

// Columns of the common datatypes.
struct Col {
  static Column Char(std::string name, int32_t maxlength = 255) {
    return {std::move(name), VEL_CHAR_TYPE, maxlength};
  }
  static Column Int(std::string name) { return {std::move(name), VEL_INT_TYPE, 4}; }
  static Column Float(std::string name) { return {std::move(name), VEL_FLOAT_TYPE, 8}; }
  static Column Text(std::string name, int32_t maxlength = 32768) {
    return {std::move(name), VEL_TEXT_TYPE, maxlength};
  }
  static Column Image(std::string name, int32_t maxlength = 32768) {
    return {std::move(name), VEL_IMAGE_TYPE, maxlength};
  }
  static Column Binary(std::string name, int32_t maxlength = 255) {
    return {std::move(name), VEL_BINARY_TYPE, maxlength};
  }
  static Column VarBinary(std::string name, int32_t maxlength = 255) {
    return {std::move(name), VEL_VARBINARY_TYPE, maxlength};
  }
  static Column Of(std::string name, int32_t datatype, int32_t maxlength) {
    return {std::move(name), datatype, maxlength};
  }
};

// A server message as the server-message callback receives it.
struct ServerMessage {
  int32_t number = 0;
  int32_t severity = 0;
  int32_t state = 1;
  int32_t line = 1;
  std::string text;
  std::string server;  // "" leaves the server name empty (length 0)
  std::string proc;    // "" leaves the procedure name empty (length 0)
};

// A client message; the number is packed from code.
struct ClientMessage {
  ClientCode code{};
  std::string text;
};

// One step of a script. Scripts are built with the Script methods; the
// events are public so that a failing test can print them.
struct ScriptEvent {
  enum class Kind { kBatch, kResult, kRow, kServerMsg, kClientMsg, kFailCall };
  Kind kind;
  int32_t result_type = 0;      // kResult
  std::vector<Column> columns;  // kResult
  int64_t row_count = -1;       // kResult of type command done
  std::vector<Value> values;    // kRow
  ServerMessage server_msg;     // kServerMsg
  ClientMessage client_msg;     // kClientMsg
  std::string function;         // kFailCall
  int64_t nth = 1, count = 1;   // kFailCall
};

// Builder of a scripted server's answers; see the top of this file.
class Script {
 public:
  explicit Script(std::string server) : server_(std::move(server)) {}

  // Begins the batch that answers the next ct_send. A result added before
  // any Batch() begins the first batch by itself.
  Script& Batch() {
    Add(ScriptEvent::Kind::kBatch);
    in_batch_ = true;
    columns_ = 0;
    return *this;
  }

  // A result of any type, with the columns its rows have (none for a
  // result without rows). Rows added after it belong to it.
  Script& Result(int32_t type, std::vector<Column> columns = {}) {
    if (!in_batch_) Batch();
    ScriptEvent& e = Add(ScriptEvent::Kind::kResult);
    e.result_type = type;
    columns_ = columns.size();
    e.columns = std::move(columns);
    return *this;
  }
  // A row result (4040) with these columns.
  Script& Rows(std::vector<Column> columns) { return Result(kRowResult, std::move(columns)); }
  // One row of the current result; as many values as it has columns.
  Script& Row(std::vector<Value> values) {
    if (columns_ == 0 || values.size() != columns_)
      throw std::logic_error("velct::Script::Row: no result with that many columns");
    Add(ScriptEvent::Kind::kRow).values = std::move(values);
    return *this;
  }
  // A status result (4043): one unnamed integer column and one row.
  Script& Status(int32_t value) {
    Result(kStatusResult, {Col::Int("")});
    return Row({Value(value)});
  }
  // Command done (4046) with the row count ct_res_info(800) reports.
  Script& Done(int64_t row_count = -1) {
    Result(kCmdDone);
    events_.back().row_count = row_count;
    return *this;
  }
  Script& Succeeded() { return Result(kCmdSucceed); }  // 4047
  Script& Failed() { return Result(kCmdFail); }        // 4048

  Script& ServerMsg(ServerMessage msg) {
    Add(ScriptEvent::Kind::kServerMsg).server_msg = std::move(msg);
    return *this;
  }
  Script& ServerMsg(int32_t number, int32_t severity, std::string text) {
    ServerMessage msg;
    msg.number = number;
    msg.severity = severity;
    msg.text = std::move(text);
    return ServerMsg(std::move(msg));
  }
  Script& ClientMsg(ClientCode code, std::string text) {
    Add(ScriptEvent::Kind::kClientMsg).client_msg = {code, std::move(text)};
    return *this;
  }
  // From this point on, the nth call of function and count - 1 after it
  // fail (count -1: all from the nth on), as velct::Fail. Any ct_ or cs_
  // function can be named.
  Script& FailCall(std::string function, int64_t nth = 1, int64_t count = 1) {
    ScriptEvent& e = Add(ScriptEvent::Kind::kFailCall);
    e.function = std::move(function);
    e.nth = nth;
    e.count = count;
    return *this;
  }

  const std::string& server() const { return server_; }
  const std::vector<ScriptEvent>& events() const { return events_; }

 private:
  ScriptEvent& Add(ScriptEvent::Kind kind) {
    ScriptEvent& e = events_.emplace_back();
    e.kind = kind;
    return e;
  }

  std::string server_;
  std::vector<ScriptEvent> events_;
  bool in_batch_ = false;
  size_t columns_ = 0;
};

// Makes the script answer connections to its server name, replacing an
// earlier script of that name. Connections already open keep the script
// they started with.
VELCT_API void RegisterServer(const Script& script);
VELCT_API void UnregisterServer(const std::string& server);
VELCT_API void ClearServers();  // also forgets the received batches

// The batch texts sent to a scripted server, in order, over all its
// connections since it was registered.
VELCT_API std::vector<std::string> ReceivedBatches(const std::string& server);

}  // namespace velct

#endif
