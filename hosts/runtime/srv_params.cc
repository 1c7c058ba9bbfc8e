// RPC parameters: count, description, binding and transfer.
#include <algorithm>
#include <cstring>

#include "process_state.h"

using velsrv::OutputValue;
using velsrv::RpcParam;
using velsrv::internal::Injected;
using velsrv::internal::TheProcess;

namespace {

int32_t DescribedMaxLength(const RpcParam& param) {
  return param.maxlength >= 0 ? param.maxlength : static_cast<int32_t>(param.value.size());
}

// A parameter without a value: NULL, or void (named but not supplied).
bool HasNoValue(const RpcParam& param) { return param.null || param.datatype == VEL_VOID_TYPE; }

// Copies one parameter into the buffer bound to it, cut to the bound
// maximum; the indicator tells NULL (-1), complete (0) or the full length.
void TransferIn(const RpcParam& param, const srv_proc::InputBinding& binding) {
  int32_t copied = 0;
  int16_t indicator = -1;
  if (!HasNoValue(param)) {
    const size_t room = static_cast<size_t>(std::max(binding.maxlength, 0));
    const size_t n = std::min(param.value.size(), room);
    if (n > 0) std::memcpy(binding.buf, param.value.data(), n);
    copied = static_cast<int32_t>(n);
    const size_t full = param.value.size();
    indicator = n == full ? int16_t{0} : static_cast<int16_t>(std::min<size_t>(full, INT16_MAX));
  }
  if (binding.len != nullptr) *binding.len = copied;
  if (binding.indicator != nullptr) *binding.indicator = indicator;
}

// Reads the value now in an output buffer. False for a length that makes
// no sense.
bool TransferOut(int32_t item, const RpcParam& param, const srv_proc::OutputBinding& binding,
                 OutputValue* out) {
  out->item = item;
  out->name = param.name;
  out->datatype = binding.datatype;
  if (binding.indicator != nullptr && *binding.indicator == -1) {
    out->indicator = -1;
    return true;
  }
  int32_t length = *binding.len;
  if (length == VEL_NULLTERM && binding.buf != nullptr) {
    length = static_cast<int32_t>(std::strlen(static_cast<const char*>(binding.buf)));
  }
  if (length < 0 || (length > 0 && binding.buf == nullptr)) return false;
  out->value.assign(static_cast<const char*>(binding.buf), static_cast<size_t>(length));
  out->indicator = binding.indicator != nullptr ? *binding.indicator : int16_t{0};
  return true;
}

}  // namespace

VELSRV_C_EXPORT int32_t VEL_CDECL srv_numparams(srv_proc* proc, int32_t* count) {
  if (Injected("srv_numparams")) return VEL_FAIL;
  auto caller = TheProcess().callers.Find(proc);
  if (caller == nullptr || count == nullptr) return VEL_FAIL;
  vel::os::MutexLock lock(caller->mu);
  *count = static_cast<int32_t>(caller->params.size());
  return VEL_SUCCEED;
}

VELSRV_C_EXPORT int32_t VEL_CDECL srv_descfmt(srv_proc* proc, int32_t cmd, int32_t type,
                                              int32_t item, cs_datafmt* fmt) {
  if (Injected("srv_descfmt", item)) return VEL_FAIL;
  auto caller = TheProcess().callers.Find(proc);
  if (caller == nullptr || fmt == nullptr || cmd != VEL_GET || type != VEL_RPC_DATA) {
    return VEL_FAIL;
  }
  vel::os::MutexLock lock(caller->mu);
  const RpcParam* param = caller->Param(item);
  if (param == nullptr) return VEL_FAIL;
  std::memset(fmt, 0, sizeof *fmt);
  const size_t namelen = std::min(param->name.size(), sizeof fmt->name);
  std::memcpy(fmt->name, param->name.data(), namelen);
  fmt->namelen = static_cast<int32_t>(namelen);
  fmt->datatype = param->datatype;
  fmt->maxlength = DescribedMaxLength(*param);
  fmt->status = param->output ? VEL_STATUS_RETURN : 0;
  return VEL_SUCCEED;
}

VELSRV_C_EXPORT int32_t VEL_CDECL srv_bind(srv_proc* proc, int32_t cmd, int32_t type, int32_t item,
                                           cs_datafmt* fmt, void* buf, int32_t* len,
                                           int16_t* indicator) {
  if (Injected("srv_bind", item)) return VEL_FAIL;
  auto caller = TheProcess().callers.Find(proc);
  if (caller == nullptr || fmt == nullptr || type != VEL_RPC_DATA) return VEL_FAIL;
  vel::os::MutexLock lock(caller->mu);
  const RpcParam* param = caller->Param(item);
  if (param == nullptr) return VEL_FAIL;
  if (cmd == VEL_GET) {
    if (buf == nullptr) return VEL_FAIL;
    caller->inputs[item] = {buf, len, indicator, fmt->maxlength};
    return VEL_SUCCEED;
  }
  if (cmd == VEL_SET) {
    if (!param->output || len == nullptr) return VEL_FAIL;
    caller->outputs[item] = {buf, len, indicator, fmt->datatype};
    return VEL_SUCCEED;
  }
  return VEL_FAIL;
}

VELSRV_C_EXPORT int32_t VEL_CDECL srv_xferdata(srv_proc* proc, int32_t cmd, int32_t type) {
  if (Injected("srv_xferdata", cmd)) return VEL_FAIL;
  auto caller = TheProcess().callers.Find(proc);
  if (caller == nullptr || type != VEL_RPC_DATA) return VEL_FAIL;
  vel::os::MutexLock lock(caller->mu);
  if (cmd == VEL_GET) {
    for (const auto& [item, binding] : caller->inputs) TransferIn(*caller->Param(item), binding);
    return VEL_SUCCEED;
  }
  if (cmd == VEL_SET) {
    std::vector<OutputValue> batch;
    for (const auto& [item, binding] : caller->outputs) {
      OutputValue value;
      if (!TransferOut(item, *caller->Param(item), binding, &value)) return VEL_FAIL;
      batch.push_back(std::move(value));
    }
    caller->AddOutputs(std::move(batch));
    return VEL_SUCCEED;
  }
  return VEL_FAIL;
}
