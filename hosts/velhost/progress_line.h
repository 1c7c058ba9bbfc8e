// A progress line for long calls on a terminal: while a call runs longer
// than a moment, the number of rows its queries have fetched so far is
// shown on one line, which is cleared before the call's output appears.
// Made only when standard output is a terminal, so scripts' output never
// holds it.
#ifndef VELHOST_PROGRESS_LINE_H
#define VELHOST_PROGRESS_LINE_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <ostream>
#include <thread>

#include "mutex.h"

namespace velhost {

class ProgressLine {
 public:
  // rows_fetched gives a running count of fetched rows for the process.
  ProgressLine(std::ostream& terminal, std::function<int64_t()> rows_fetched);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Around each call; calls may come from several clients at once.
  void Begin();
  void End();

 private:
  void Watch();
  void Clear() VEL_REQUIRES(mu_);

  vel::os::Mutex mu_;
  std::ostream& terminal_ VEL_GUARDED_BY(mu_);
  const std::function<int64_t()> rows_fetched_;
  std::condition_variable_any wake_;
  int running_ VEL_GUARDED_BY(mu_) = 0;         // calls in progress
  int64_t first_rows_ VEL_GUARDED_BY(mu_) = 0;  // the count when the first of them began
  bool shown_ VEL_GUARDED_BY(mu_) = false;
  bool stopping_ VEL_GUARDED_BY(mu_) = false;
  std::thread watcher_;  // last: it uses the rest
};

}  // namespace velhost

#endif
