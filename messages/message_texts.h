// The texts of the mail library's messages and the arguments each number
// carries.
#ifndef VELMSGS_MESSAGE_TEXTS_H
#define VELMSGS_MESSAGE_TEXTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "velsrv_host.h"

namespace velmsgs {

// The further arguments a message number comes with.
enum class ArgShape {
  kText,           // one text
  kNumber,         // one 32-bit number
  kTextAndNumber,  // a text, then a 32-bit number
  kUnknown         // a number without a text of ours: nothing is read
};

ArgShape ShapeOf(int32_t msgnum);

// The one-line text of a message, its arguments filled in.
std::string MessageText(int32_t msgnum, const std::vector<velsrv::RouteArg>& args);

}  // namespace velmsgs

#endif
