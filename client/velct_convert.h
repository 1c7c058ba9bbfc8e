// Delivering one value into the buffer a column is bound to. Internal to
// libvelct.so.
#ifndef VELCT_CONVERT_H
#define VELCT_CONVERT_H

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "velct_messages.h"
#include "velct_results.h"
#include "velct_state.h"

namespace velct::detail {

// Whether ct_bind accepts a binding of this datatype.
bool BindableType(int32_t datatype);

// Writes the value of column (from 1) into the binding's buffer, copied
// length and indicator. A value that does not convert is delivered as 0
// and raises a client message.
void DeliverValue(const Cell& cell, const Binding& binding, int column, Outbox& out);

// DeliverValue, with the usual case worked out here so that it is
// inlined into each backend's row delivery: a value that fits a character
// binding, copied or written in digits straight into the buffer.
inline void DeliverValueInline(const Cell& cell, const Binding& b, int column, Outbox& out) {
  if (b.datatype == VEL_CHAR_TYPE && b.maxlength >= 0) {
    char* buffer = static_cast<char*>(b.buffer);
    const auto room = static_cast<size_t>(b.maxlength);
    std::string_view text;
    switch (cell.kind) {
      case Cell::Kind::kText:
        text = cell.bytes;
        break;
      case Cell::Kind::kInt:
        if (!cell.digits.empty()) {
          text = cell.digits;
        } else {
          auto [end, ec] = std::to_chars(buffer, buffer + room, cell.integer);
          if (ec != std::errc()) return DeliverValue(cell, b, column, out);
          if (b.copied) *b.copied = static_cast<int32_t>(end - buffer);
          if (b.indicator) *b.indicator = 0;
          return;
        }
        break;
      case Cell::Kind::kReal: {
        if (!cell.digits.empty()) {
          text = cell.digits;
          break;
        }
        auto [end, ec] = std::to_chars(buffer, buffer + room, cell.real);
        if (ec != std::errc()) return DeliverValue(cell, b, column, out);
        if (b.copied) *b.copied = static_cast<int32_t>(end - buffer);
        if (b.indicator) *b.indicator = 0;
        return;
      }
      default:
        return DeliverValue(cell, b, column, out);
    }
    if (text.size() <= room) {
      if (!text.empty()) std::memcpy(buffer, text.data(), text.size());
      if (b.copied) *b.copied = static_cast<int32_t>(text.size());
      if (b.indicator) *b.indicator = 0;
      return;
    }
  }
  DeliverValue(cell, b, column, out);
}

// Delivers the current row of a result stream into the bound columns,
// reading its cells without a virtual call each.
template <class Stream>
void DeliverCells(const Stream& stream, const std::vector<Binding>& bindings, Outbox& out) {
  for (size_t i = 0; i < bindings.size(); ++i)
    if (bindings[i].bound)
      DeliverValueInline(stream.Stream::cell(i), bindings[i], static_cast<int>(i + 1), out);
}

}  // namespace velct::detail

#endif
