// Programming the test provider: return codes, sleeps, hangs, faults,
// exceptions, random delays, and the variants that lack one export.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "module_names.h"
#include "platform/platform.h"
#include "providers/testcmc/testcmc_control.h"

namespace {

// The build's module directory: VEL_LIB_DIR, else the one it was built
// with.
std::string LibDir() {
  const char* dir = std::getenv("VEL_LIB_DIR");
  return dir && *dir ? dir : VEL_BUILD_LIB_DIR;
}

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kEntries[] = {"cmc_logon",   "cmc_logoff", "cmc_free", "cmc_send",
                                    "cmc_look_up", "cmc_list",   "cmc_read", "cmc_act_on"};

// A provider module from the build's module directory, released at the end.
class LoadedModule {
 public:
  explicit LoadedModule(const std::string& file) {
    module_ = vel::os::LoadModule((LibDir() + "/" + file).c_str());
  }
  ~LoadedModule() {
    if (module_) vel::os::FreeModule(module_);
  }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  bool loaded() const { return module_ != nullptr; }
  void* Symbol(const char* name) const { return vel::os::ModuleSymbol(module_, name); }

 private:
  vel::os::Module module_ = nullptr;
};

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testcmc::Reset();
    ASSERT_TRUE(provider_.loaded()) << vel::os::ModuleError();
    logon_ = reinterpret_cast<CMC_logon_fn>(provider_.Symbol("cmc_logon"));
    logoff_ = reinterpret_cast<CMC_logoff_fn>(provider_.Symbol("cmc_logoff"));
    ASSERT_NE(logon_, nullptr);
    ASSERT_NE(logoff_, nullptr);
  }
  void TearDown() override { testcmc::Release(); }

  CMC_return_code Logon(CMC_session_id* session) {
    return logon_(nullptr, nullptr, nullptr, nullptr, 0, CMC_VERSION, 0, session, nullptr);
  }

  // Waits until the calls recorded so far include an unfinished one.
  static bool WaitForUnfinishedCall() {
    const auto deadline = Clock::now() + 5s;
    while (Clock::now() < deadline) {
      for (const auto& call : testcmc::Calls())
        if (!call.finished) return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }

  LoadedModule provider_{veltest::ModuleFile("veltestcmc")};
  CMC_logon_fn logon_ = nullptr;
  CMC_logoff_fn logoff_ = nullptr;
};
// Test names carry the stand-ins' prefix so that ctest -R stubs_ selects them.
using stubs_testcmc_program = ProgramTest;

TEST_F(stubs_testcmc_program, ReturnCodeForAGivenNumberOfCalls) {
  testcmc::Program("cmc_logon", {testcmc::Action::kReturn, CMC_E_LOGON_FAILURE, 0, 2});
  CMC_session_id session = 0;
  EXPECT_EQ(Logon(&session), CMC_E_LOGON_FAILURE);
  EXPECT_EQ(Logon(&session), CMC_E_LOGON_FAILURE);
  EXPECT_EQ(session, 0u) << "a programmed code does nothing else";
  EXPECT_EQ(testcmc::OpenSessions(), 0);
  EXPECT_EQ(Logon(&session), CMC_SUCCESS) << "normal again after two calls";
  EXPECT_EQ(session, 1u);

  const auto calls = testcmc::Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].result, CMC_E_LOGON_FAILURE);
  EXPECT_TRUE(calls[0].finished);
  EXPECT_EQ(testcmc::CallCount("cmc_logon"), 3);
  EXPECT_EQ(testcmc::CallCount("cmc_logoff"), 0);
}

TEST_F(stubs_testcmc_program, ProgrammingIsPerEntryUntilReset) {
  testcmc::Program("cmc_logoff", {testcmc::Action::kReturn, CMC_E_FAILURE});
  CMC_session_id session = 0;
  ASSERT_EQ(Logon(&session), CMC_SUCCESS);
  EXPECT_EQ(logoff_(session, 0, 0, nullptr), CMC_E_FAILURE);
  EXPECT_EQ(logoff_(session, 0, 0, nullptr), CMC_E_FAILURE);
  EXPECT_EQ(testcmc::OpenSessions(), 1);

  testcmc::Reset();
  EXPECT_TRUE(testcmc::Calls().empty());
  EXPECT_EQ(testcmc::OpenSessions(), 0);
  ASSERT_EQ(Logon(&session), CMC_SUCCESS);
  EXPECT_EQ(session, 1u) << "ids start again after a reset";
  EXPECT_EQ(logoff_(session, 0, 0, nullptr), CMC_SUCCESS);

#if !defined(_WIN32)
  // (A C++ exception cannot leave a Windows module built with static
  // runtimes, so there the control library's refusal is not catchable.)
  EXPECT_THROW(testcmc::Program("cmc_logout", {}), std::invalid_argument);
#endif
}

TEST_F(stubs_testcmc_program, SleepDelaysThenBehavesNormally) {
  testcmc::Program("cmc_logon", {testcmc::Action::kSleep, 0, 150, 1});
  CMC_session_id session = 0;
  const auto start = Clock::now();
  EXPECT_EQ(Logon(&session), CMC_SUCCESS);
  EXPECT_GE(Clock::now() - start, 150ms);
  EXPECT_EQ(session, 1u);
}

TEST_F(stubs_testcmc_program, ThrowLeavesTheEntryPointAsAnException) {
#if defined(_WIN32)
  GTEST_SKIP() << "on Windows the throw leaves as the system's C++ exception, "
                  "which only a guarded call catches (FaultAndThrowAreCaughtByAGuardedCall)";
#endif
  testcmc::Program("cmc_logon", {testcmc::Action::kThrow});
  CMC_session_id session = 0;
  EXPECT_THROW(Logon(&session), std::exception);
  EXPECT_EQ(session, 0u);
  EXPECT_EQ(testcmc::OpenSessions(), 0);
  EXPECT_FALSE(testcmc::Calls().at(0).finished);
}

TEST_F(stubs_testcmc_program, FaultIsARealInvalidAccess) {
  testcmc::Program("cmc_logon", {testcmc::Action::kFault});
  CMC_session_id session = 0;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // A sanitizer catches the signal, reports it and exits instead.
  EXPECT_EXIT(
      Logon(&session), [](int status) { return !::testing::ExitedWithCode(0)(status); },
      "SEGV on unknown address 0x0*10 ");
#elif defined(_WIN32)
  // An access violation nobody handles ends the process with its code.
  EXPECT_EXIT(Logon(&session), ::testing::ExitedWithCode(static_cast<int>(0xC0000005u)), "");
#else
  EXPECT_EXIT(Logon(&session), ::testing::KilledBySignal(SIGSEGV), "");
#endif
}

struct LogonArgs {
  CMC_logon_fn logon;
  CMC_session_id session = 0;
  CMC_return_code result = 0xFFFF;
};

void CallLogon(void* p) {
  auto* args = static_cast<LogonArgs*>(p);
  args->result =
      args->logon(nullptr, nullptr, nullptr, nullptr, 0, CMC_VERSION, 0, &args->session, nullptr);
}

// What the mail worker relies on: a fault and an exception are caught by
// the platform's guarded call, and the provider's state stays usable.
TEST_F(stubs_testcmc_program, FaultAndThrowAreCaughtByAGuardedCall) {
  LogonArgs args{logon_};
  testcmc::Program("cmc_logon", {testcmc::Action::kFault, 0, 0, 1});
  EXPECT_EQ(vel::os::GuardedCall(&CallLogon, &args), vel::os::CallOutcome::kFaulted);
  testcmc::Program("cmc_logon", {testcmc::Action::kThrow, 0, 0, 1});
  EXPECT_EQ(vel::os::GuardedCall(&CallLogon, &args), vel::os::CallOutcome::kThrew);
  testcmc::Program("cmc_logon", {testcmc::Action::kDivide, 0, 0, 1});
  EXPECT_EQ(vel::os::GuardedCall(&CallLogon, &args), vel::os::CallOutcome::kFaulted);
  EXPECT_EQ(vel::os::GuardedCall(&CallLogon, &args), vel::os::CallOutcome::kReturned);
  EXPECT_EQ(args.result, CMC_SUCCESS);
  EXPECT_EQ(args.session, 1u);
}

TEST_F(stubs_testcmc_program, HangLastsUntilRelease) {
  testcmc::Program("cmc_logon", {testcmc::Action::kHang, 0, 0, 1});
  LogonArgs args{logon_};
  std::thread caller(CallLogon, &args);
  ASSERT_TRUE(WaitForUnfinishedCall());
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(testcmc::Calls().at(0).finished) << "still hanging";
  EXPECT_EQ(testcmc::OpenSessions(), 0);

  testcmc::Release();
  caller.join();
  EXPECT_EQ(args.result, CMC_SUCCESS) << "a released call behaves normally";
  EXPECT_EQ(args.session, 1u);
  EXPECT_TRUE(testcmc::Calls().at(0).finished);

  CMC_session_id session = 0;
  EXPECT_EQ(Logon(&session), CMC_SUCCESS) << "the hang applied to one call";
}

// A thread given up inside a hung provider call is left alone (the hang
// is inside a noexcept function, where unwinding it would end the
// process): it ends by itself once its call comes back.
TEST_F(stubs_testcmc_program, AHungCallGivenUpEndsByItselfWhenReleased) {
  testcmc::Program("cmc_logon", {testcmc::Action::kHang});
  auto args = std::make_shared<LogonArgs>(LogonArgs{logon_});
  auto ended = std::make_shared<std::atomic<bool>>(false);
  auto thread = vel::os::Thread::Start([args, ended] {
    vel::os::GuardedCall(&CallLogon, args.get());
    ended->store(true);
  });
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(WaitForUnfinishedCall());
  thread->CutOff();
  thread.reset();
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(ended->load()) << "still inside the provider";

  testcmc::Release();
  for (int i = 0; i < 500 && !ended->load(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(ended->load());
  EXPECT_TRUE(testcmc::Calls().at(0).finished);
  EXPECT_NE(args->result, 0xFFFFu) << "the call came back with its answer";
}

TEST_F(stubs_testcmc_program, ConcurrentCallsWithRandomDelays) {
  testcmc::RandomDelays(3);
  constexpr int kThreads = 6, kRounds = 20;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  std::vector<std::vector<CMC_session_id>> sessions(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        CMC_session_id session = 0;
        if (Logon(&session) != CMC_SUCCESS || logoff_(session, 0, 0, nullptr) != CMC_SUCCESS)
          ++failures;
        sessions[t].push_back(session);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  std::set<CMC_session_id> distinct;
  for (const auto& list : sessions) distinct.insert(list.begin(), list.end());
  EXPECT_EQ(distinct.size(), size_t{kThreads * kRounds}) << "every logon got a fresh id";
  EXPECT_EQ(testcmc::OpenSessions(), 0);
  const auto calls = testcmc::Calls();
  ASSERT_EQ(calls.size(), size_t{2 * kThreads * kRounds});
  std::set<uint64_t> callers;
  for (const auto& call : calls) {
    EXPECT_TRUE(call.finished);
    callers.insert(call.thread);
  }
  EXPECT_EQ(callers.size(), size_t{kThreads}) << "calls are told apart by thread";
}

TEST_F(stubs_testcmc_program, EachVariantLacksExactlyItsOwnExport) {
  for (const char* missing : kEntries) {
    const std::string suffix = std::string(missing).substr(4);  // after "cmc_"
    SCOPED_TRACE(suffix);
    LoadedModule variant(veltest::ModuleFile("veltestcmc_no_" + suffix));
    ASSERT_TRUE(variant.loaded()) << vel::os::ModuleError();
    for (const char* entry : kEntries) {
      const bool present = variant.Symbol(entry) != nullptr;
      EXPECT_EQ(present, std::string(entry) != missing) << entry;
    }
  }
}

TEST_F(stubs_testcmc_program, VariantsShareTheProgrammedState) {
  LoadedModule variant(veltest::ModuleFile("veltestcmc_no_look_up"));
  ASSERT_TRUE(variant.loaded());
  auto logon = reinterpret_cast<CMC_logon_fn>(variant.Symbol("cmc_logon"));
  ASSERT_NE(logon, nullptr);
  testcmc::Program("cmc_logon", {testcmc::Action::kReturn, CMC_E_SERVICE_UNAVAILABLE});
  CMC_session_id session = 0;
  EXPECT_EQ(logon(nullptr, nullptr, nullptr, nullptr, 0, CMC_VERSION, 0, &session, nullptr),
            CMC_E_SERVICE_UNAVAILABLE);
  EXPECT_EQ(testcmc::CallCount("cmc_logon"), 1);
}

}  // namespace
