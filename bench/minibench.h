// The part of Google Benchmark's interface the round-trip benchmark uses,
// for the Windows tree: Debian packages no Windows build of the library.
// Each benchmark runs for at least half a second of real time and prints
// its time per iteration in the library's console layout.
#ifndef VEL_BENCH_MINIBENCH_H
#define VEL_BENCH_MINIBENCH_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace benchmark {

class State {
 public:
  explicit State(int64_t iterations) : remaining_(iterations) {}

  struct Iterator {
    State* state;
    bool operator!=(const Iterator&) const { return state->remaining_ > 0 && !state->error_; }
    void operator++() { --state->remaining_; }
    int operator*() const { return 0; }
  };
  Iterator begin() { return {this}; }
  Iterator end() { return {this}; }

  void SkipWithError(const char* message) {
    error_ = true;
    message_ = message;
  }
  bool error() const { return error_; }
  const std::string& message() const { return message_; }

 private:
  int64_t remaining_;
  bool error_ = false;
  std::string message_;
};

template <typename T>
inline void DoNotOptimize(T&& value) {
  asm volatile("" : : "g"(value) : "memory");
}

namespace internal {

struct Registered {
  const char* name;
  void (*fn)(State&);
};

inline std::vector<Registered>& Registry() {
  static std::vector<Registered> registry;
  return registry;
}

struct Registrar {
  Registrar* UseRealTime() { return this; }  // real time is all this measures
};

inline Registrar* Register(const char* name, void (*fn)(State&)) {
  Registry().push_back({name, fn});
  static Registrar registrar;
  return &registrar;
}

inline int RunAll() {
  using Clock = std::chrono::steady_clock;
  std::printf("%-40s %15s %12s\n", "Benchmark", "Time", "Iterations");
  for (const Registered& b : Registry()) {
    int64_t iterations = 1;
    for (;;) {
      State state(iterations);
      const auto begin = Clock::now();
      b.fn(state);
      const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
      if (state.error()) {
        std::printf("%-40s ERROR OCCURRED: '%s'\n", b.name, state.message().c_str());
        break;
      }
      if (seconds >= 0.5 || iterations >= (int64_t{1} << 30)) {
        std::printf("%-40s %12.0f ns %12lld\n", (std::string(b.name) + "/real_time").c_str(),
                    seconds * 1e9 / static_cast<double>(iterations),
                    static_cast<long long>(iterations));
        break;
      }
      iterations *= seconds < 0.05 ? 10 : 2;
    }
  }
  return 0;
}

}  // namespace internal
}  // namespace benchmark

#define VEL_MINIBENCH_CAT2(a, b) a##b
#define VEL_MINIBENCH_CAT(a, b) VEL_MINIBENCH_CAT2(a, b)
#define BENCHMARK(fn)                                                                    \
  static ::benchmark::internal::Registrar* VEL_MINIBENCH_CAT(vel_minibench_, __LINE__) = \
      ::benchmark::internal::Register(#fn, fn)
#define BENCHMARK_MAIN() \
  int main() { return ::benchmark::internal::RunAll(); }

#endif
