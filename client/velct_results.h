// What a server end hands the command layer: the results of one batch, one
// after the other, with their columns and rows, and the messages raised on
// the way. Internal to libvelct.so.
#ifndef VELCT_RESULTS_H
#define VELCT_RESULTS_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velcs.h"

// One bound column: where ct_fetch delivers the column's value.
struct Binding {
  bool bound = false;
  int32_t datatype = 0;
  int32_t maxlength = 0;
  void* buffer = nullptr;
  int32_t* copied = nullptr;
  int16_t* indicator = nullptr;
};

namespace velct::detail {

class Outbox;

// One column as ct_describe reports it.
struct ColumnInfo {
  std::string name;
  int32_t datatype = VEL_CHAR_TYPE;
  int32_t maxlength = 255;
};

// One value of the current row. Text and bytes stay valid until the
// stream moves on.
struct Cell {
  enum class Kind { kNull, kInt, kReal, kText, kBytes };
  Kind kind = Kind::kNull;
  int64_t integer = 0;
  double real = 0;
  std::string_view bytes;  // kText and kBytes
  // kInt, kReal: the value's character form (decimal; the shortest
  // form that reads back to the same double), when the server sent it
  // so. Then integer and real are left unread: they are read from these
  // digits only when a binding needs the number.
  std::string_view digits;
};

// The results of one batch. The command layer calls NextResult until it
// returns false, and NextRow while the current result has columns.
class ResultStream {
 public:
  virtual ~ResultStream() = default;
  // Moves to the next result; false when the batch has none left.
  virtual bool NextResult(Outbox& out) = 0;
  virtual int32_t type() const = 0;
  virtual const std::vector<ColumnInfo>& columns() const = 0;
  // The row count of a command-done result; -1 when none is known.
  virtual int64_t row_count() const = 0;
  // Moves to the next row of the current result; false at its end.
  virtual bool NextRow(Outbox& out) = 0;
  virtual Cell cell(size_t column) const = 0;
  // Delivers the current row into the bound columns (one per column of the
  // result; those not bound receive nothing). Backends deliver straight
  // from their own cells (DeliverCells in velct_convert.h).
  virtual void DeliverRow(const std::vector<Binding>& bindings, Outbox& out) const = 0;
};

// The server end of one connection. Its calls are made under the
// connection's lock, but for Interrupt.
class Session {
 public:
  virtual ~Session() = default;
  // Starts a batch; its results are read from the stream returned.
  virtual std::unique_ptr<ResultStream> Run(const std::string& text, Outbox& out) = 0;
  // Asks the server to stop the statement it runs, so that a call waiting
  // for it comes back soon. Called from another thread, without the
  // connection's lock (under its session lock); a server end that answers
  // at once need not do anything.
  virtual void Interrupt() {}
};

}  // namespace velct::detail

#endif
