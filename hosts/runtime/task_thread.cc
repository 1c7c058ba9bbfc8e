#include "task_thread.h"

namespace velsrv::internal {

TaskThread::TaskThread(std::function<void()> on_start)
    : thread_([this, start = std::move(on_start)] { Loop(start); }) {}

TaskThread::~TaskThread() {
  {
    vel::os::MutexLock lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void TaskThread::Post(std::function<void()> task) {
  {
    vel::os::MutexLock lock(mu_);
    queue_.push_back(std::move(task));
  }
  wake_.notify_all();
}

void TaskThread::Loop(const std::function<void()>& on_start) {
  if (on_start) on_start();
  for (;;) {
    std::function<void()> task;
    {
      vel::os::MutexLock lock(mu_);
      while (!stopping_ && queue_.empty()) lock.Wait(wake_);
      if (queue_.empty()) return;  // stopping, and nothing left to run
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task();
  }
}

}  // namespace velsrv::internal
