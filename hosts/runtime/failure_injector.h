// Counts the calls of every srv_ function and decides which of them fail,
// following the rules a test has set.
#ifndef VELSRV_FAILURE_INJECTOR_H
#define VELSRV_FAILURE_INJECTOR_H

#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "mutex.h"
#include "velsrv_exports.h"

namespace velsrv::internal {

class FailureInjector {
 public:
  // The key of a function that has none: a rule narrowed by a key never
  // matches it.
  static constexpr int32_t kNoKey = INT32_MIN;

  // Counts one call of function and tells whether it must fail.
  bool CountAndDecide(const char* function, int32_t key = kNoKey);

  void AddRule(FailRule rule);
  void ClearRules();
  // Clears the rules and the call counts.
  void Reset();
  int64_t CallCount(const std::string& function) const;

 private:
  struct ActiveRule {
    FailRule rule;
    int64_t matched = 0;  // matching calls since the rule was set
  };

  mutable vel::os::Mutex mu_;
  std::vector<ActiveRule> rules_ VEL_GUARDED_BY(mu_);
  std::map<std::string, int64_t, std::less<>> counts_ VEL_GUARDED_BY(mu_);
};

}  // namespace velsrv::internal

#endif
