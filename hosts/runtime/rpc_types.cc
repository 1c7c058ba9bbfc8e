// The value types of the host API.
#include <cstring>

#include "velsrv_exports.h"

namespace velsrv {

RpcParam RpcParam::Text(std::string name, std::string value) {
  RpcParam param;
  param.name = std::move(name);
  param.datatype = VEL_CHAR_TYPE;
  param.value = std::move(value);
  return param;
}

RpcParam RpcParam::Int(std::string name, int32_t value) {
  RpcParam param;
  param.name = std::move(name);
  param.datatype = VEL_INT_TYPE;
  param.value.assign(reinterpret_cast<const char*>(&value), sizeof value);
  return param;
}

RpcParam RpcParam::Binary(std::string name, std::string bytes) {
  RpcParam param;
  param.name = std::move(name);
  param.datatype = VEL_BINARY_TYPE;
  param.value = std::move(bytes);
  return param;
}

RpcParam RpcParam::Void(std::string name) {
  RpcParam param;
  param.name = std::move(name);
  param.datatype = VEL_VOID_TYPE;
  return param;
}

RpcParam RpcParam::Null(std::string name, int32_t datatype) {
  RpcParam param;
  param.name = std::move(name);
  param.datatype = datatype;
  param.null = true;
  return param;
}

RpcParam RpcParam::Output(std::string name, int32_t datatype, int32_t maxlength,
                          std::string initial, bool null_initial) {
  RpcParam param;
  param.name = std::move(name);
  param.datatype = datatype;
  param.maxlength = maxlength;
  param.value = std::move(initial);
  param.null = null_initial;
  param.output = true;
  return param;
}

std::vector<OutputValue> CallResult::outputs() const {
  return output_batches.empty() ? std::vector<OutputValue>{} : output_batches.back();
}

std::optional<OutputValue> CallResult::output(const std::string& name) const {
  // The latest value sent under that name.
  for (auto batch = output_batches.rbegin(); batch != output_batches.rend(); ++batch) {
    for (const OutputValue& value : *batch) {
      if (value.name == name) return value;
    }
  }
  return std::nullopt;
}

std::vector<int32_t> CallResult::message_numbers() const {
  std::vector<int32_t> numbers;
  numbers.reserve(messages.size());
  for (const ClientMessage& message : messages) numbers.push_back(message.number);
  return numbers;
}

}  // namespace velsrv
