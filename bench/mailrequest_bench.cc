// One mail request's round trip (host thread -> worker -> provider that
// does nothing -> host thread) against the bare hand-over it is built on:
// two threads passing a token back and forth with a mutex and condition
// variables.
#if defined(VEL_MINIBENCH)
#include "minibench.h"
#else
#include <benchmark/benchmark.h>
#endif

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "frame/startup.h"
#include "mapi/cmcbind.h"
#include "mapi/worker.h"

namespace {

std::string LibDir() {
  const char* dir = std::getenv("VEL_LIB_DIR");
  return dir != nullptr ? dir : "lib";
}

void BM_MailRequestRoundTrip(benchmark::State& state) {
  sm_resetstate();
#if defined(_WIN32)
  snprintf(sm_state.cmcdllname, sizeof(sm_state.cmcdllname), "%s/velbenchcmc.dll",
           LibDir().c_str());
#else
  snprintf(sm_state.cmcdllname, sizeof(sm_state.cmcdllname), "%s/libvelbenchcmc.so",
           LibDir().c_str());
#endif
  if (!sm_loadcmc(nullptr)) {
    state.SkipWithError("cannot load the no-op provider (set VEL_LIB_DIR)");
    return;
  }
  sm_createworkersync();
  sm_state.timeout = 60000;
  for (auto _ : state) {
    benchmark::DoNotOptimize(sm_requestfree(nullptr));
  }
  sm_requestlogoff(SM_SHUTDOWN);
  sm_unloadcmc();
  sm_destroyworkersync();
}
BENCHMARK(BM_MailRequestRoundTrip)->UseRealTime();

// The same hand-over with nothing around it.
void BM_ConditionVariablePingPong(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable to_worker, to_host;
  bool request = false, done = false, stop = false;
  std::thread worker([&] {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      to_worker.wait(lock, [&] { return request || stop; });
      if (stop) return;
      request = false;
      done = true;
      to_host.notify_one();
    }
  });
  for (auto _ : state) {
    std::unique_lock<std::mutex> lock(mutex);
    request = true;
    to_worker.notify_one();
    to_host.wait(lock, [&] { return done; });
    done = false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  to_worker.notify_one();
  worker.join();
}
BENCHMARK(BM_ConditionVariablePingPong)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
