// Delivering one value into the buffer a column is bound to. Internal to
// libvelct.so.
#ifndef VELCT_CONVERT_H
#define VELCT_CONVERT_H

#include <cstdint>
#include <vector>

#include "velct_outbox.h"
#include "velct_results.h"
#include "velct_state.h"

namespace velct::detail {

// Whether ct_bind accepts a binding of this datatype.
bool BindableType(int32_t datatype);

// Writes the value of column (from 1) into the binding's buffer, copied
// length and indicator. A value that does not convert is delivered as 0
// and raises a client message.
void DeliverValue(const Cell& cell, const Binding& binding, int column, Outbox& out);

// Delivers the current row of a result stream into the bound columns,
// reading its cells without a virtual call each.
template <class Stream>
void DeliverCells(const Stream& stream, const std::vector<Binding>& bindings, Outbox& out) {
  for (size_t i = 0; i < bindings.size(); ++i)
    if (bindings[i].bound)
      DeliverValue(stream.Stream::cell(i), bindings[i], static_cast<int>(i + 1), out);
}

}  // namespace velct::detail

#endif
