// The client-library stand-in: context life cycle, failure injection,
// callbacks, the interfaces file, the clock and thread safety.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <thread>
#include <vector>

#include "client/velct_control.h"

namespace {

// A context that ct_init has been run on, dropped at the end of the test.
class Context {
 public:
  Context() {
    EXPECT_EQ(cs_ctx_alloc(VEL_CS_VERSION, &ctx_), VEL_SUCCEED);
    EXPECT_EQ(ct_init(ctx_, VEL_CS_VERSION), VEL_SUCCEED);
  }
  ~Context() { cs_ctx_drop(ctx_); }  // fails harmlessly when already dropped
  cs_context* get() const { return ctx_; }

 private:
  cs_context* ctx_ = nullptr;
};

class VelctTest : public ::testing::Test {
 protected:
  void SetUp() override {
    velct::ClearFailures();
    velct::ResetCounts();
    velct::SetUninitResult(VEL_SUCCEED);
    velct::SetFixedTime(nullptr);
  }
};
// Test names carry the stand-ins' prefix so that ctest -R stubs_ selects them.
using stubs_velct = VelctTest;

int32_t SetInterfaces(cs_context* ctx, const char* path) {
  return ct_config(ctx, VEL_SET, VEL_PROP_IFILE, const_cast<char*>(path), VEL_NULLTERM, nullptr);
}

int32_t DummyChallenge(void*, void*, int32_t*, void*, void*, void*, void*, void*) { return 1; }
int32_t DummyServerMessage(cs_context*, cs_connection*, cs_servermsg*) { return 1; }

TEST_F(stubs_velct, ContextLifeCycle) {
  cs_context* ctx = nullptr;
  EXPECT_EQ(cs_ctx_alloc(1000, &ctx), VEL_FAIL) << "only version 1100 is served";
  EXPECT_EQ(velct::LiveContexts(), 0);

  ASSERT_EQ(cs_ctx_alloc(VEL_CS_VERSION, &ctx), VEL_SUCCEED);
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(velct::LiveContexts(), 1);
  EXPECT_FALSE(velct::Initialised(ctx));
  EXPECT_EQ(ct_callback(ctx, nullptr, VEL_SET, VEL_CB_CHALLENGE, nullptr), VEL_FAIL)
      << "callbacks need ct_init first";
  EXPECT_EQ(ct_init(ctx, 1000), VEL_FAIL);
  EXPECT_EQ(ct_init(ctx, VEL_CS_VERSION), VEL_SUCCEED);
  EXPECT_TRUE(velct::Initialised(ctx));

  EXPECT_EQ(ct_exit(ctx, 12345), VEL_FAIL);
  EXPECT_EQ(ct_exit(ctx, VEL_FORCE_EXIT), VEL_SUCCEED);
  EXPECT_FALSE(velct::Initialised(ctx));
  EXPECT_EQ(ct_exit(ctx, VEL_FORCE_EXIT), VEL_FAIL) << "already shut down";

  EXPECT_EQ(cs_ctx_drop(ctx), VEL_SUCCEED);
  EXPECT_EQ(velct::LiveContexts(), 0);
  EXPECT_EQ(cs_ctx_drop(ctx), VEL_FAIL) << "dropped twice";
  EXPECT_EQ(ct_init(ctx, VEL_CS_VERSION), VEL_FAIL) << "dropped context";
  EXPECT_FALSE(velct::Initialised(ctx));
}

TEST_F(stubs_velct, DropWorksWithoutExit) {
  Context context;
  EXPECT_EQ(cs_ctx_drop(context.get()), VEL_SUCCEED);
  EXPECT_EQ(velct::LiveContexts(), 0);
}

TEST_F(stubs_velct, FailureRuleCountsFromWhenItIsSet) {
  Context context;
  velct::Fail("ct_init", 2, 2);  // the 2nd and 3rd call from now fail
  std::vector<int32_t> results;
  for (int i = 0; i < 5; ++i) results.push_back(ct_init(context.get(), VEL_CS_VERSION));
  EXPECT_EQ(results, (std::vector<int32_t>{1, 0, 0, 1, 1}));
  EXPECT_EQ(velct::CallCount("ct_init"), 6) << "failing calls are counted too";
  EXPECT_EQ(velct::CallCount("cs_ctx_alloc"), 1);

  velct::Fail("ct_exit", 1, -1);
  EXPECT_EQ(ct_exit(context.get(), VEL_FORCE_EXIT), VEL_FAIL);
  EXPECT_EQ(ct_exit(context.get(), VEL_FORCE_EXIT), VEL_FAIL);
  EXPECT_TRUE(velct::Initialised(context.get())) << "a failing call has no effect";
  velct::ClearFailures();
  EXPECT_EQ(ct_exit(context.get(), VEL_FORCE_EXIT), VEL_SUCCEED);

  velct::ResetCounts();
  EXPECT_EQ(velct::CallCount("ct_exit"), 0);
}

// Every function fails on demand, without effect, and counts the call.
TEST_F(stubs_velct, EachFunctionFailsOnDemand) {
  struct Case {
    const char* function;
    std::function<int32_t(cs_context*)> call;
    std::function<bool(cs_context*)> had_effect;
  };
  cs_daterec rec{};
  const std::vector<Case> cases = {
      {"ct_init", [](cs_context* c) { return ct_init(c, VEL_CS_VERSION); },
       [](cs_context* c) { return velct::Initialised(c); }},
      {"ct_callback",
       [](cs_context* c) {
         return ct_callback(c, nullptr, VEL_SET, VEL_CB_CHALLENGE,
                            reinterpret_cast<void*>(&DummyChallenge));
       },
       [](cs_context* c) { return velct::ChallengeCallback(c) == &DummyChallenge; }},
      {"ct_config", [](cs_context* c) { return SetInterfaces(c, "/x/interfaces"); },
       [](cs_context* c) { return velct::InterfacesFile(c) == "/x/interfaces"; }},
      {"ct_exit", [](cs_context* c) { return ct_exit(c, VEL_FORCE_EXIT); },
       [](cs_context* c) { return !velct::Initialised(c); }},
      {"cs_time",
       [&](cs_context* c) { return cs_time(c, nullptr, nullptr, VEL_UNUSED, nullptr, &rec); },
       [&](cs_context*) { return rec.year != 0; }},
      {"com_uninitialize_tds_text",
       [](cs_context*) { return com_uninitialize_tds_text(nullptr, nullptr, 7, nullptr, nullptr); },
       [](cs_context*) { return velct::LastUninitCall().calls == 1; }},
      {"cs_ctx_drop", [](cs_context* c) { return cs_ctx_drop(c); },
       [](cs_context*) { return velct::LiveContexts() == 0; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    velct::ResetCounts();
    rec = {};
    cs_context* ctx = nullptr;
    ASSERT_EQ(cs_ctx_alloc(VEL_CS_VERSION, &ctx), VEL_SUCCEED);
    // ct_init itself is checked on a context it has not run on yet.
    if (std::strcmp(c.function, "ct_init") != 0) {
      ASSERT_EQ(ct_init(ctx, VEL_CS_VERSION), 1);
    }

    velct::Fail(c.function);
    EXPECT_EQ(c.call(ctx), VEL_FAIL);
    EXPECT_FALSE(c.had_effect(ctx));
    EXPECT_EQ(c.call(ctx), VEL_SUCCEED) << "only one call was to fail";
    EXPECT_TRUE(c.had_effect(ctx));
    EXPECT_EQ(velct::CallCount(c.function), 2);
    velct::ClearFailures();
    cs_ctx_drop(ctx);
  }

  velct::Fail("cs_ctx_alloc");
  cs_context* ctx = nullptr;
  EXPECT_EQ(cs_ctx_alloc(VEL_CS_VERSION, &ctx), VEL_FAIL);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(velct::LiveContexts(), 0);
}

TEST_F(stubs_velct, CallbacksSetGetAndClear) {
  Context context;
  cs_context* ctx = context.get();
  EXPECT_EQ(velct::ChallengeCallback(ctx), nullptr);
  ASSERT_EQ(ct_callback(ctx, nullptr, VEL_SET, VEL_CB_CHALLENGE,
                        reinterpret_cast<void*>(&DummyChallenge)),
            VEL_SUCCEED);
  ASSERT_EQ(ct_callback(ctx, nullptr, VEL_SET, VEL_CB_SERVERMSG,
                        reinterpret_cast<void*>(&DummyServerMessage)),
            VEL_SUCCEED);
  EXPECT_EQ(velct::ChallengeCallback(ctx), &DummyChallenge);

  void* got = nullptr;
  EXPECT_EQ(ct_callback(ctx, nullptr, VEL_GET, VEL_CB_SERVERMSG, &got), VEL_SUCCEED);
  EXPECT_EQ(got, reinterpret_cast<void*>(&DummyServerMessage));
  EXPECT_EQ(ct_callback(ctx, nullptr, VEL_GET, VEL_CB_CLIENTMSG, &got), VEL_SUCCEED);
  EXPECT_EQ(got, nullptr) << "each type has its own slot";

  EXPECT_EQ(ct_callback(ctx, nullptr, VEL_SET, 7, reinterpret_cast<void*>(&DummyChallenge)),
            VEL_FAIL);
  EXPECT_EQ(ct_callback(ctx, nullptr, 35, VEL_CB_CHALLENGE, nullptr), VEL_FAIL);
  EXPECT_EQ(ct_callback(nullptr, nullptr, VEL_SET, VEL_CB_CHALLENGE, nullptr), VEL_FAIL);

  EXPECT_EQ(ct_callback(ctx, nullptr, VEL_SET, VEL_CB_CHALLENGE, nullptr), VEL_SUCCEED);
  EXPECT_EQ(velct::ChallengeCallback(ctx), nullptr);
}

// A challenge callback that honours the contract the library's does.
int32_t ContractChallenge(void* a1, void*, int32_t* a3, void* a4, void* a5, void* a6, void* a7,
                          void* a8) {
  *a3 = 5;
  int32_t one = 1;
  std::memcpy(static_cast<char*>(a6) + VEL_CHALLENGE_OFFSET_136, &one, sizeof one);
  int32_t value144 = 0;
  std::memcpy(&value144, static_cast<char*>(a4) + VEL_CHALLENGE_OFFSET_144, sizeof value144);
  return com_uninitialize_tds_text(a1, a5, value144, a7, a8) == 1 ? 1 : 0;
}

TEST_F(stubs_velct, RegisteredChallengeCanBeDriven) {
  Context context;
  ASSERT_EQ(ct_callback(context.get(), nullptr, VEL_SET, VEL_CB_CHALLENGE,
                        reinterpret_cast<void*>(&ContractChallenge)),
            VEL_SUCCEED);
  cs_challenge_fn challenge = velct::ChallengeCallback(context.get());
  ASSERT_NE(challenge, nullptr);

  char record4[256] = {};
  char record6[256] = {};
  const int32_t value = 0x1234;
  std::memcpy(record4 + VEL_CHALLENGE_OFFSET_144, &value, sizeof value);
  int32_t status = 0;
  int a1, a2, a5, a7, a8;
  EXPECT_EQ(challenge(&a1, &a2, &status, record4, &a5, record6, &a7, &a8), 1);
  EXPECT_EQ(status, 5);
  const velct::UninitCall call = velct::LastUninitCall();
  EXPECT_EQ(call.calls, 1);
  EXPECT_EQ(call.a1, &a1);
  EXPECT_EQ(call.a5, &a5);
  EXPECT_EQ(call.value144, value);
  EXPECT_EQ(call.a7, &a7);
  EXPECT_EQ(call.a8, &a8);

  velct::SetUninitResult(0);
  EXPECT_EQ(challenge(&a1, &a2, &status, record4, &a5, record6, &a7, &a8), 0);
  EXPECT_EQ(velct::LastUninitCall().calls, 2);
}

TEST_F(stubs_velct, InterfacesFileSetAndRead) {
  Context context;
  cs_context* ctx = context.get();
  EXPECT_EQ(velct::InterfacesFile(ctx), "");
  ASSERT_EQ(SetInterfaces(ctx, "/opt/host/interfaces"), VEL_SUCCEED);
  EXPECT_EQ(velct::InterfacesFile(ctx), "/opt/host/interfaces");

  char buf[64];
  int32_t outlen = -1;
  ASSERT_EQ(ct_config(ctx, VEL_GET, VEL_PROP_IFILE, buf, sizeof buf, &outlen), VEL_SUCCEED);
  EXPECT_STREQ(buf, "/opt/host/interfaces");
  EXPECT_EQ(outlen, 20);
  EXPECT_EQ(ct_config(ctx, VEL_GET, VEL_PROP_IFILE, buf, 20, &outlen), VEL_FAIL)
      << "no room for the terminator";
  EXPECT_EQ(outlen, 20) << "the length needed is still reported";

  char counted[] = "/a/b/cXXXX";
  ASSERT_EQ(ct_config(ctx, VEL_SET, VEL_PROP_IFILE, counted, 6, nullptr), VEL_SUCCEED);
  EXPECT_EQ(velct::InterfacesFile(ctx), "/a/b/c");
  EXPECT_EQ(ct_config(ctx, VEL_SET, VEL_PROP_IFILE, counted, -3, nullptr), VEL_FAIL);
  EXPECT_EQ(ct_config(ctx, VEL_SET, VEL_PROP_USERNAME, counted, VEL_NULLTERM, nullptr), VEL_FAIL);

  cs_ctx_drop(ctx);
  EXPECT_EQ(velct::InterfacesFile(ctx), "") << "a dropped context has none";
}

TEST_F(stubs_velct, TimeIsTheCurrentLocalTime) {
  Context context;
  cs_daterec rec{};
  int32_t outlen = 0;
  // The precise clock, as the stand-in reads it: std::time may lag it by a
  // tick and put the second boundary on the wrong side.
  using std::chrono::system_clock;
  const std::time_t before = system_clock::to_time_t(system_clock::now());
  ASSERT_EQ(cs_time(context.get(), nullptr, nullptr, VEL_UNUSED, &outlen, &rec), VEL_SUCCEED);
  const std::time_t after = system_clock::to_time_t(system_clock::now());
  EXPECT_EQ(outlen, static_cast<int32_t>(sizeof(cs_daterec)));

  // The record, read back as a local time, lies between the two readings.
  std::tm tm{};
  tm.tm_year = rec.year - 1900;
  tm.tm_mon = rec.month;
  tm.tm_mday = rec.day_of_month;
  tm.tm_hour = rec.hour;
  tm.tm_min = rec.minute;
  tm.tm_sec = rec.second;
  tm.tm_isdst = -1;
  const std::time_t read_back = std::mktime(&tm);
  EXPECT_GE(read_back, before);
  EXPECT_LE(read_back, after);
  EXPECT_EQ(tm.tm_wday, rec.day_of_week);
  EXPECT_EQ(tm.tm_yday + 1, rec.day_of_year);
  EXPECT_GE(rec.month, 0);
  EXPECT_LE(rec.month, 11);
  EXPECT_GE(rec.millisecond, 0);
  EXPECT_LE(rec.millisecond, 999);
  EXPECT_LE(std::abs(rec.tzone), 14 * 60);
  // The offset turns the local reading back into the real instant.
  const std::tm utc = *std::gmtime(&read_back);
  const int local_minutes = rec.hour * 60 + rec.minute;
  const int utc_minutes = utc.tm_hour * 60 + utc.tm_min;
  EXPECT_EQ(((local_minutes - utc_minutes - rec.tzone) % 1440 + 1440) % 1440, 0);

  EXPECT_EQ(cs_time(context.get(), nullptr, nullptr, VEL_UNUSED, nullptr, nullptr), VEL_FAIL);
}

TEST_F(stubs_velct, FixedTimeReplacesTheClock) {
  Context context;
  const cs_daterec fixed{2001, 8, 9, 252, 0, 10, 11, 42, 500, -60};
  velct::SetFixedTime(&fixed);
  cs_daterec rec{};
  ASSERT_EQ(cs_time(context.get(), nullptr, nullptr, VEL_UNUSED, nullptr, &rec), VEL_SUCCEED);
  EXPECT_EQ(std::memcmp(&rec, &fixed, sizeof rec), 0);
  velct::SetFixedTime(nullptr);
  ASSERT_EQ(cs_time(context.get(), nullptr, nullptr, VEL_UNUSED, nullptr, &rec), VEL_SUCCEED);
  EXPECT_NE(rec.year, 2001);
}

TEST_F(stubs_velct, ConcurrentContextsStayConsistent) {
  constexpr int kThreads = 8, kRounds = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < kRounds; ++i) {
        cs_context* ctx = nullptr;
        if (cs_ctx_alloc(VEL_CS_VERSION, &ctx) != 1 || ct_init(ctx, VEL_CS_VERSION) != 1 ||
            SetInterfaces(ctx, "/i") != 1 || ct_exit(ctx, VEL_FORCE_EXIT) != 1 ||
            cs_ctx_drop(ctx) != 1) {
          ADD_FAILURE() << "a call failed in round " << i;
          return;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(velct::LiveContexts(), 0);
  EXPECT_EQ(velct::CallCount("ct_config"), kThreads * kRounds);
}

}  // namespace
