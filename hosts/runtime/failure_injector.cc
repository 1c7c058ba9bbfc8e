#include "failure_injector.h"

namespace velsrv::internal {

bool FailureInjector::CountAndDecide(const char* function, int32_t key) {
  vel::os::MutexLock lock(mu_);
  auto count = counts_.find(std::string_view(function));
  if (count == counts_.end()) count = counts_.emplace(function, 0).first;
  ++count->second;

  // Every matching rule counts the call, whether or not an earlier rule
  // already decided that it fails.
  bool fail = false;
  for (ActiveRule& active : rules_) {
    const FailRule& rule = active.rule;
    if (rule.function != function) continue;
    if (rule.key != -1 && rule.key != key) continue;
    const int64_t n = ++active.matched;
    const int64_t first = rule.nth < 1 ? 1 : rule.nth;
    if (n >= first && (rule.count < 0 || n < first + rule.count)) fail = true;
  }
  return fail;
}

void FailureInjector::AddRule(FailRule rule) {
  vel::os::MutexLock lock(mu_);
  rules_.push_back(ActiveRule{std::move(rule)});
}

void FailureInjector::ClearRules() {
  vel::os::MutexLock lock(mu_);
  rules_.clear();
}

void FailureInjector::Reset() {
  vel::os::MutexLock lock(mu_);
  rules_.clear();
  counts_.clear();
}

int64_t FailureInjector::CallCount(const std::string& function) const {
  vel::os::MutexLock lock(mu_);
  auto it = counts_.find(function);
  return it == counts_.end() ? 0 : it->second;
}

}  // namespace velsrv::internal
