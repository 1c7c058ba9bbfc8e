// The error reporter and the parameter readers on their own, linked from
// the library's objects, for what no procedure can make them do: a router
// that is missing, each kind of further argument, an unknown procedure
// kind, an output parameter not passed as one.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "frame/errors.h"
#include "frame/params.h"
#include "frame/startup.h"
#include "hosts/runtime/velsrv_host.h"
#include "message_numbers.h"
#include "platform.h"

namespace {

struct Captured {
  srv_proc* thread;
  int32_t msgnum;
  int32_t routing;
  std::vector<std::string> args;  // texts as they are, numbers as "#n"
};
std::vector<Captured> g_captured;

// A router that reads its further arguments the way the host's does.
extern "C" void CaptureRoute(srv_proc* thread, int32_t msgnum, int32_t routing, ...) {
  Captured c{thread, msgnum, routing, {}};
  va_list args;
  va_start(args, routing);
  const bool number_only =
      msgnum == veltest::kMsgNoMessage || msgnum == veltest::kMsgCannotLoadProvider ||
      msgnum == veltest::kMsgCannotCreateFile || msgnum == veltest::kMsgCannotWriteFile ||
      msgnum == veltest::kMsgNoColumns || msgnum == veltest::kMsgNoMailUser ||
      msgnum == veltest::kMsgFailed || msgnum == veltest::kMsgUnexpectedResult ||
      msgnum == veltest::kMsgNoProfile;
  if (msgnum == veltest::kMsgMailRequestFailed) {
    c.args.push_back(va_arg(args, const char*));
  } else if (number_only) {
    c.args.push_back("#" + std::to_string(va_arg(args, int32_t)));
  } else {
    c.args.push_back(va_arg(args, const char*));
    c.args.push_back("#" + std::to_string(va_arg(args, int32_t)));
  }
  va_end(args);
  g_captured.push_back(c);
}

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_captured.clear();
    sm_state.route_err = &CaptureRoute;
  }
  void TearDown() override { sm_state.route_err = nullptr; }
  srv_proc* const client_ = reinterpret_cast<srv_proc*>(0x1000);
};

TEST_F(FrameTest, RaiseHandsTheRightFurtherArguments) {
  EXPECT_EQ(sm_raise(client_, 10, veltest::kMsgMailRequestFailed, "ignored", 5),
            1);  // a code without a text
  EXPECT_TRUE(g_captured.empty());
  EXPECT_EQ(sm_raise(nullptr, -123, veltest::kMsgMailRequestFailed, "ignored", 5), 1);
  EXPECT_EQ(sm_raise(client_, 16, veltest::kMsgMailRequestFailed, nullptr, 0), 1);
  EXPECT_EQ(sm_raise(nullptr, 0, veltest::kMsgFailed, nullptr, 87), 1);
  EXPECT_EQ(sm_raise(client_, 0, veltest::kMsgLibraryCallFailed, "ct_exit", 0), 1);
  ASSERT_EQ(g_captured.size(), 4u);
  EXPECT_EQ(g_captured[0].routing, veltest::kToLog);
  EXPECT_EQ(g_captured[0].args, std::vector<std::string>{"Operation timed out"});
  EXPECT_EQ(g_captured[1].routing, veltest::kToLogAndClient);
  EXPECT_EQ(g_captured[1].args, std::vector<std::string>{" A function parameter was invalid. "});
  EXPECT_EQ(g_captured[2].args, std::vector<std::string>{"#87"});
  EXPECT_EQ(g_captured[3].args, (std::vector<std::string>{"ct_exit", "#0"}));
  EXPECT_EQ(g_captured[3].thread, client_);
}

TEST_F(FrameTest, EveryCodeWithATextHasItsOwnPosition) {
  std::vector<bool> used(29, false);
  for (int32_t code = -200; code <= 200; ++code) {
    const int32_t position = sm_cmcerrindex(code);
    if (position < 0) continue;
    ASSERT_LT(position, 29);
    EXPECT_FALSE(used[position]) << "position " << position << " twice";
    used[position] = true;
    EXPECT_GE(code, 1);
    EXPECT_LE(code, 37);
  }
  for (int32_t position = 0; position < 29; ++position) EXPECT_TRUE(used[position]) << position;
}

TEST_F(FrameTest, WithoutARouterOneLogLinePerCall) {
  velsrv::HostOptions options;
  velsrv::Host host(options);  // only to read the host log
  sm_state.route_err = nullptr;
  EXPECT_EQ(sm_raise(client_, 0, veltest::kMsgNoSession, "xp_stopmail", 0), 0);
  EXPECT_EQ(sm_raise(nullptr, -124, veltest::kMsgMailRequestFailed, nullptr, 0), 0);
  EXPECT_EQ(host.log(), (std::vector<std::string>{"Velmail: Error handler not initialized\n",
                                                  "Velmail: Error handler not initialized\n"}));
}

TEST_F(FrameTest, AnUnknownProcedureKindIsReported) {
  int32_t count = 0;
  EXPECT_EQ(sm_getparam(client_, 5, &count), 0);
  EXPECT_EQ(sm_getparam(client_, -1, &count), 0);
  ASSERT_EQ(g_captured.size(), 4u);
  EXPECT_EQ(g_captured[0].msgnum, veltest::kMsgUnknownKind);
  EXPECT_EQ(g_captured[0].routing, veltest::kToLog);
  EXPECT_EQ(g_captured[0].args, (std::vector<std::string>{"sm_getparam", "#0"}));
  EXPECT_EQ(g_captured[1].msgnum, veltest::kMsgFailed);
  EXPECT_EQ(g_captured[1].routing, veltest::kToLogAndClient);
}

TEST_F(FrameTest, AnOutputBindOfANonOutputParameterIsRefused) {
  char value[8] = "x";
  int32_t length = 1;
  cs_datafmt description;
  memset(&description, 0, sizeof(description));
  memcpy(description.name, "@sender", 7);
  description.namelen = 7;
  EXPECT_EQ(sm_bindretparam(client_, value, &length, 3, &description, nullptr), 0);
  description.namelen = 0;
  EXPECT_EQ(sm_bindretparam(client_, value, &length, 3, &description, nullptr), 0);
  // Missing buffers are refused without a message.
  EXPECT_EQ(sm_bindretparam(client_, nullptr, &length, 3, &description, nullptr), 0);
  ASSERT_EQ(g_captured.size(), 4u);
  EXPECT_EQ(g_captured[0].msgnum, veltest::kMsgNotOutput);
  EXPECT_EQ(g_captured[0].routing, veltest::kToLog);
  EXPECT_EQ(g_captured[0].args, (std::vector<std::string>{"@sender", "#0"}));
  EXPECT_EQ(g_captured[1].msgnum, veltest::kMsgFailed);
  EXPECT_EQ(g_captured[2].args, (std::vector<std::string>{"at location 3", "#0"}));
}

TEST_F(FrameTest, TheTimeoutIsReadLikeAtoi) {
  EXPECT_EQ(sm_parsetimeout(""), 60000);
  EXPECT_EQ(sm_parsetimeout("0"), 60000);
  EXPECT_EQ(sm_parsetimeout("abc"), 60000);
  EXPECT_EQ(sm_parsetimeout("2500"), 2500);
  EXPECT_EQ(sm_parsetimeout("2500ms"), 2500);
  EXPECT_EQ(sm_parsetimeout("  +75"), 75);
  EXPECT_EQ(sm_parsetimeout("-1"), -1);  // a wait without limit
  EXPECT_EQ(sm_parsetimeout("99999999999"), INT32_MAX);
}

}  // namespace

// The runtime's generator (the C runtime's rand on Windows, the platform
// layer's own elsewhere) gives the same first thousand values for a seed
// as the generator platform.h describes, so the same second names the
// same results file on every system.
TEST(PlatformRandom, TheFirstThousandValuesMatchTheDescribedGenerator) {
  for (uint32_t seed : {0u, 1u, 59u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(seed);
    vel::os::SeedRandom(seed);
    uint32_t state = seed;
    for (int i = 0; i < 1000; ++i) {
      state = state * 214013u + 2531011u;
      ASSERT_EQ(vel::os::Random(), static_cast<int32_t>((state >> 16) & 0x7FFF)) << "draw " << i;
    }
  }
}
