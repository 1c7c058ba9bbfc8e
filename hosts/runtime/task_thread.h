// A thread that runs queued tasks one after the other: the host thread
// that serves one client.
#ifndef VELSRV_TASK_THREAD_H
#define VELSRV_TASK_THREAD_H

#include <deque>
#include <functional>
#include <future>
#include <thread>

#include "mutex.h"

namespace velsrv::internal {

class TaskThread {
 public:
  // on_start runs first on the new thread.
  explicit TaskThread(std::function<void()> on_start);
  // Runs what is queued, then ends and joins the thread.
  ~TaskThread();
  TaskThread(const TaskThread&) = delete;
  TaskThread& operator=(const TaskThread&) = delete;

  void Post(std::function<void()> task);
  bool IsCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

  // Runs fn on this thread and waits for its result; from the thread itself
  // it runs at once, since waiting for the queue would never end.
  template <typename Fn>
  auto Run(Fn fn) -> decltype(fn()) {
    if (IsCurrent()) return fn();
    std::packaged_task<decltype(fn())()> task(std::move(fn));
    auto result = task.get_future();
    Post([&task] { task(); });
    return result.get();
  }

 private:
  void Loop(const std::function<void()>& on_start);

  vel::os::Mutex mu_;
  std::condition_variable_any wake_;
  std::deque<std::function<void()>> queue_ VEL_GUARDED_BY(mu_);
  bool stopping_ VEL_GUARDED_BY(mu_) = false;
  std::thread thread_;  // last: starts once the rest exists
};

}  // namespace velsrv::internal

#endif
