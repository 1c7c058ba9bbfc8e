// What a call sent back, written as a database user sees it: each message
// as "Msg N, Level L, State S" with its text on the next line, output
// parameters by name, and the return status.
#ifndef VELHOST_OUTPUT_FORMAT_H
#define VELHOST_OUTPUT_FORMAT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "velsrv_host.h"

namespace velhost {

// "0x" and two upper-case hex digits a byte.
std::string HexText(std::string_view bytes);

// One value by its datatype: binary kinds in hex, integers in decimal,
// everything else as text; "NULL" for a null value.
std::string FormatValue(int32_t datatype, std::string_view bytes, bool null);

// The return status a call leaves: the last status it sent; without one,
// 0 when the procedure succeeded and 1 when it failed.
int32_t ReturnStatus(const velsrv::CallResult& result);

// The whole reply of a call, in the order it was sent. display_names[i]
// names the output parameter sent for parameter i + 1 when the procedure
// sent it without a name (a positional call).
std::string FormatCallResult(const velsrv::CallResult& result,
                             const std::vector<std::string>& display_names);

}  // namespace velhost

#endif
