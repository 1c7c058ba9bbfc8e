#include "caller_state.h"

#include <utility>

using velsrv::CallResult;
using velsrv::ReplyKind;

void srv_proc::BeginCall(std::vector<velsrv::RpcParam> call_params) {
  vel::os::MutexLock lock(mu);
  params = std::move(call_params);
  inputs.clear();
  outputs.clear();
  record = CallResult{};
  in_call = true;
}

CallResult srv_proc::EndCall() {
  vel::os::MutexLock lock(mu);
  in_call = false;
  inputs.clear();
  outputs.clear();
  return std::exchange(record, CallResult{});
}

const velsrv::RpcParam* srv_proc::Param(int32_t item) const {
  if (item < 1 || static_cast<size_t>(item) > params.size()) return nullptr;
  return &params[item - 1];
}

void srv_proc::AddMessage(velsrv::ClientMessage message) {
  if (!in_call) return;
  record.messages.push_back(std::move(message));
  record.sequence.push_back({ReplyKind::kMessage, record.messages.size() - 1});
}

void srv_proc::AddOutputs(std::vector<velsrv::OutputValue> batch) {
  if (!in_call) return;
  record.output_batches.push_back(std::move(batch));
  record.sequence.push_back({ReplyKind::kOutputs, record.output_batches.size() - 1});
}

void srv_proc::AddDone(velsrv::DoneRecord done) {
  if (!in_call) return;
  record.dones.push_back(done);
  record.sequence.push_back({ReplyKind::kDone, record.dones.size() - 1});
}

void srv_proc::AddStatus(int32_t status) {
  if (!in_call) return;
  record.statuses.push_back(status);
  record.sequence.push_back({ReplyKind::kStatus, record.statuses.size() - 1});
}
