// Host servers: a server answered by code that the host process registers,
// inside that process. The host that embeds the library in a database
// server uses it so that a query runs in the caller's own session (its
// role, transaction and snapshot) rather than over a second connection.
//
// Columns are described as PostgreSQL describes them (type oid and
// modifier) and values are given in their text forms, as the server's
// output functions write them with DateStyle ISO, extra_float_digits 1 and
// bytea_output hex; the client library maps them to its datatypes exactly
// as its PostgreSQL backend does (README.md, "The host backend").
//
// The interfaces file names a host server with the backend word "host":
//
//     NAME  host  [REGISTERED-NAME]
//
// and a server name the file does not list is looked up among the
// registered host servers too. The calls of HostServer and HostResults are
// made on the thread of the client call that needs them (ct_connect,
// ct_send, ct_results, ct_fetch), under the connection's lock; Interrupt
// comes from another thread.
#ifndef VELCT_HOST_H
#define VELCT_HOST_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velct_control.h"

namespace velct {

struct HostColumn {
  std::string name;
  uint32_t type_oid = 25;  // text
  int32_t type_modifier = -1;
};

// A server message: severity 10 informs, 16 reports an error.
struct HostMessage {
  int32_t number = 0;
  int32_t severity = 10;
  std::string text;
};

// The outcome of a batch's statements, one after the other.
class HostResults {
 public:
  enum class Kind { kRows, kSucceeded, kFailed };
  enum class Row { kRow, kEnd, kFailed };

  virtual ~HostResults() = default;
  // Runs the next statement; false when the batch has none left. Messages
  // the statement raised are appended to messages.
  virtual bool NextStatement(std::vector<HostMessage>& messages) = 0;
  virtual Kind kind() const = 0;
  // kRows: the columns.
  virtual const std::vector<HostColumn>& columns() const = 0;
  // kSucceeded: the rows the statement processed, or -1.
  virtual int64_t count() const = 0;
  // kFailed: why.
  virtual const HostMessage& error() const = 0;
  // The line of the batch the statement starts on (from 1).
  virtual int32_t line() const = 0;
  // Moves to the next row of a kRows statement. kFailed: the statement
  // failed while its rows were read, error() says why.
  virtual Row NextRow(std::vector<HostMessage>& messages) = 0;
  // The current row's value of column, in its text form (valid until the
  // next NextRow); nullopt for NULL.
  virtual std::optional<std::string_view> value(size_t column) const = 0;
};

class HostServer {
 public:
  virtual ~HostServer() = default;
  virtual std::unique_ptr<HostResults> Run(const std::string& batch) = 0;
  // "use NAME": whether the connection may go on in the database NAME;
  // false with the reason (a sentence to follow "Database 'NAME' ").
  virtual bool Use(const std::string& name, std::string& problem) = 0;
  // Asks the statement in progress to stop soon (from another thread).
  virtual void Interrupt() {}
};

// Makes a server for one connection, given the login the client set; null
// with a reason refuses the connection.
using HostServerFactory =
    std::function<std::unique_ptr<HostServer>(const std::string& user, std::string& problem)>;

VELCT_API void RegisterHostServer(const std::string& name, HostServerFactory factory);
VELCT_API void UnregisterHostServer(const std::string& name);

}  // namespace velct

#endif
