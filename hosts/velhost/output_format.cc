#include "output_format.h"

#include <algorithm>
#include <cstring>

namespace velhost {

std::string HexText(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out = "0x";
  for (unsigned char byte : bytes) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0f];
  }
  return out;
}

std::string FormatValue(int32_t datatype, std::string_view bytes, bool null) {
  if (null) return "NULL";
  switch (datatype) {
    case VEL_BINARY_TYPE:
    case VEL_VARBINARY_TYPE:
    case VEL_IMAGE_TYPE:
      return HexText(bytes);
    case VEL_INT_TYPE: {
      int32_t value = 0;
      std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof value));
      return std::to_string(value);
    }
    default:
      return std::string(bytes);
  }
}

int32_t ReturnStatus(const velsrv::CallResult& result) {
  if (!result.statuses.empty()) return result.statuses.back();
  return result.returned != 0 ? 0 : 1;
}

namespace {

void AppendMessage(const velsrv::ClientMessage& message, std::string& out) {
  out += "Msg " + std::to_string(message.number) + ", Level " + std::to_string(message.severity) +
         ", State " + std::to_string(message.state) + "\n";
  std::string text = message.text;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  out += text + "\n";
}

void AppendOutputs(const std::vector<velsrv::OutputValue>& batch,
                   const std::vector<std::string>& display_names, std::string& out) {
  for (const velsrv::OutputValue& value : batch) {
    std::string name = value.name;
    if (name.empty() && value.item >= 1 &&
        static_cast<size_t>(value.item) <= display_names.size()) {
      name = display_names[static_cast<size_t>(value.item) - 1];
    }
    if (name.empty()) name = "(parameter " + std::to_string(value.item) + ")";
    out += name + " = " + FormatValue(value.datatype, value.value, value.is_null()) + "\n";
  }
}

}  // namespace

std::string FormatCallResult(const velsrv::CallResult& result,
                             const std::vector<std::string>& display_names) {
  std::string out;
  bool status_shown = false;
  for (const velsrv::ReplyEvent& event : result.sequence) {
    switch (event.kind) {
      case velsrv::ReplyKind::kMessage:
        AppendMessage(result.messages.at(event.index), out);
        break;
      case velsrv::ReplyKind::kOutputs:
        AppendOutputs(result.output_batches.at(event.index), display_names, out);
        break;
      case velsrv::ReplyKind::kStatus:
        out += "(return status = " + std::to_string(result.statuses.at(event.index)) + ")\n";
        status_shown = true;
        break;
      case velsrv::ReplyKind::kDone:
        break;  // the end of a result set shows nothing
    }
  }
  if (!status_shown) out += "(return status = " + std::to_string(ReturnStatus(result)) + ")\n";
  return out;
}

}  // namespace velhost
