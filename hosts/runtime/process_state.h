// What the srv_ functions share across the process. They are plain C
// functions without a context argument, so this state is process-wide.
#ifndef VELSRV_PROCESS_STATE_H
#define VELSRV_PROCESS_STATE_H

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "block_tracker.h"
#include "caller_state.h"
#include "failure_injector.h"
#include "mutex.h"

namespace velsrv::internal {

// The caller handles that exist, so that an unknown handle is refused
// instead of followed.
class Callers {
 public:
  void Add(std::shared_ptr<srv_proc> caller);
  void Remove(srv_proc* caller);
  // The caller behind a handle (kept alive while held), or null.
  std::shared_ptr<srv_proc> Find(const srv_proc* handle) const;

 private:
  mutable vel::os::Mutex mu_;
  std::map<const srv_proc*, std::shared_ptr<srv_proc>> callers_ VEL_GUARDED_BY(mu_);
};

// Everything routed and logged, whatever thread it came from.
class Records {
 public:
  void AddRouted(RoutedMessage message);
  void AddLog(std::string line);
  std::vector<RoutedMessage> routed() const;
  std::vector<std::string> log() const;
  void Clear();

 private:
  mutable vel::os::Mutex mu_;
  std::vector<RoutedMessage> routed_ VEL_GUARDED_BY(mu_);
  std::vector<std::string> log_ VEL_GUARDED_BY(mu_);
};

struct Process {
  FailureInjector failures;
  BlockTracker blocks;
  Records records;
  Callers callers;
  std::atomic<Host*> host{nullptr};
};

// Never destroyed: threads the library leaves behind may still call in
// while the process exits.
Process& TheProcess();

// The caller the calling thread serves (set once on each client thread);
// null on any other thread.
srv_proc*& ServedCaller();

// Runs fn on the record of the call the calling thread is running, if any.
void OnThisThreadsCall(const std::function<void(CallResult&)>& fn);

// Counts a call of function; true when a rule makes it fail.
inline bool Injected(const char* function, int32_t key = FailureInjector::kNoKey) {
  return TheProcess().failures.CountAndDecide(function, key);
}

// Writes one line to the host log: kept process-wide and on the calling
// thread's call, and echoed to stderr when VELSRV_ECHO_LOG is set.
void WriteHostLog(std::string line);

}  // namespace velsrv::internal

#endif
