#include "progress_line.h"

#include <chrono>
#include <string>

namespace velhost {
namespace {

// A call shorter than this shows nothing; the line is then redrawn at
// this interval.
constexpr auto kQuiet = std::chrono::milliseconds(400);

}  // namespace

ProgressLine::ProgressLine(std::ostream& terminal, std::function<int64_t()> rows_fetched)
    : terminal_(terminal), rows_fetched_(std::move(rows_fetched)), watcher_([this] { Watch(); }) {}

ProgressLine::~ProgressLine() {
  {
    vel::os::MutexLock lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  watcher_.join();
}

void ProgressLine::Begin() {
  vel::os::MutexLock lock(mu_);
  if (running_++ == 0) first_rows_ = rows_fetched_();
  wake_.notify_all();
}

void ProgressLine::End() {
  vel::os::MutexLock lock(mu_);
  if (--running_ == 0) Clear();
}

void ProgressLine::Clear() {
  if (!shown_) return;
  terminal_ << "\r\033[K" << std::flush;
  shown_ = false;
}

void ProgressLine::Watch() {
  vel::os::MutexLock lock(mu_);
  while (!stopping_) {
    while (!stopping_ && running_ == 0) lock.Wait(wake_);
    if (stopping_) break;
    // Wait out a quiet moment; a call that ends in it shows nothing.
    const auto quiet_end = std::chrono::steady_clock::now() + kQuiet;
    while (!stopping_ && running_ != 0 && lock.WaitUntil(wake_, quiet_end)) {
    }
    if (stopping_ || running_ == 0) continue;
    const int64_t rows = rows_fetched_() - first_rows_;
    if (rows > 0) {
      terminal_ << "\r\033[K" << rows << " rows fetched..." << std::flush;
      shown_ = true;
    }
  }
  Clear();
}

}  // namespace velhost
