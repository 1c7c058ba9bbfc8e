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
};

// The server end of one connection.
class Session {
 public:
  virtual ~Session() = default;
  // Starts a batch; its results are read from the stream returned.
  virtual std::unique_ptr<ResultStream> Run(const std::string& text, Outbox& out) = 0;
};

}  // namespace velct::detail

#endif
