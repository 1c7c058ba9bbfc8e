#include "process_state.h"

#include <cstdio>

#include "platform.h"

namespace velsrv::internal {

void Callers::Add(std::shared_ptr<srv_proc> caller) {
  vel::os::MutexLock lock(mu_);
  const srv_proc* key = caller.get();
  callers_[key] = std::move(caller);
}

void Callers::Remove(srv_proc* caller) {
  vel::os::MutexLock lock(mu_);
  callers_.erase(caller);
}

std::shared_ptr<srv_proc> Callers::Find(const srv_proc* handle) const {
  if (handle == nullptr) return nullptr;
  vel::os::MutexLock lock(mu_);
  auto it = callers_.find(handle);
  return it == callers_.end() ? nullptr : it->second;
}

void Records::AddRouted(RoutedMessage message) {
  vel::os::MutexLock lock(mu_);
  routed_.push_back(std::move(message));
}

void Records::AddLog(std::string line) {
  vel::os::MutexLock lock(mu_);
  log_.push_back(std::move(line));
}

std::vector<RoutedMessage> Records::routed() const {
  vel::os::MutexLock lock(mu_);
  return routed_;
}

std::vector<std::string> Records::log() const {
  vel::os::MutexLock lock(mu_);
  return log_;
}

void Records::Clear() {
  vel::os::MutexLock lock(mu_);
  routed_.clear();
  log_.clear();
}

Process& TheProcess() {
  static Process* const process = new Process;
  return *process;
}

srv_proc*& ServedCaller() {
  thread_local srv_proc* served = nullptr;
  return served;
}

void OnThisThreadsCall(const std::function<void(CallResult&)>& fn) {
  srv_proc* caller = ServedCaller();
  if (caller == nullptr) return;
  vel::os::MutexLock lock(caller->mu);
  if (caller->in_call) fn(caller->record);
}

namespace {

bool EchoLog() {
  char value[2];
  return vel::os::GetEnvironmentVariable("VELSRV_ECHO_LOG", value, sizeof value) != 0;
}

}  // namespace

void WriteHostLog(std::string line) {
  if (EchoLog()) {
    std::fputs(line.c_str(), stderr);
    if (line.empty() || line.back() != '\n') std::fputc('\n', stderr);
  }
  OnThisThreadsCall([&](CallResult& call) { call.log.push_back(line); });
  TheProcess().records.AddLog(std::move(line));
}

}  // namespace velsrv::internal
