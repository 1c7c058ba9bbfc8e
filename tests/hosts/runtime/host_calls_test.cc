// Failures injected under a running procedure, and clients calling at the
// same time.
#include <string>

#include "host_test_support.h"

namespace {

using host_test::Failures;
using host_test::HostTest;
using host_test::Readings;
using velsrv::FailRule;
using velsrv::RpcParam;

using host_injected = HostTest;

TEST_F(host_injected, ASecondAllocationFailsAndTheProcedureLeaksNothing) {
  velsrv::Client& client = host().NewClient();
  ASSERT_EQ(host().Load(), 1);
  const int64_t before = host().outstanding_blocks();
  host().Fail(FailRule{"srv_alloc", 2});
  velsrv::CallResult result = client.Call("fk_alloc3");
  EXPECT_EQ(result.returned, 0);
  EXPECT_EQ(Failures(result), std::vector<std::string>{"alloc 2 failed"});
  EXPECT_TRUE(result.statuses.empty());
  EXPECT_EQ(host().outstanding_blocks(), before);

  // The rule covered one call only.
  velsrv::CallResult again = client.Call("fk_alloc3");
  EXPECT_EQ(again.returned, 1);
  EXPECT_EQ(host().outstanding_blocks(), before);
}

TEST_F(host_injected, AFailedReallocLeavesTheOriginalBlockToFree) {
  velsrv::Client& client = host().NewClient();
  ASSERT_EQ(host().Load(), 1);
  host().Fail(FailRule{"srv_realloc"});
  velsrv::CallResult result = client.Call("fk_alloc3");
  EXPECT_EQ(Failures(result), std::vector<std::string>{"alloc 4 failed"});
  EXPECT_EQ(host().outstanding_blocks(), 0);
}

TEST_F(host_injected, DescribingOneItemFailsWhileTheOthersSucceed) {
  host().Fail(FailRule{"srv_descfmt", 1, -1, 2});
  velsrv::CallResult result = host().NewClient().Call(
      "fk_describe",
      {RpcParam::Text("@a", "1"), RpcParam::Text("@b", "2"), RpcParam::Text("@c", "3")});
  EXPECT_EQ(Failures(result), std::vector<std::string>{"descfmt 2 failed"});
  ASSERT_EQ(Readings(result).size(), 2u);
  EXPECT_EQ(Readings(result)[0].rfind("item=1 ", 0), 0u);
  EXPECT_EQ(Readings(result)[1].rfind("item=3 ", 0), 0u);
  // 3 items, then items 0 and 4, which are refused anyway.
  EXPECT_EQ(host().CallCount("srv_descfmt"), 5);
}

TEST_F(host_injected, TheCurrentClientCannotBeFoundOnce) {
  velsrv::Client& client = host().NewClient();
  ASSERT_EQ(host().Load(), 1);
  host().Fail(FailRule{"srv_props", 1, 1, VEL_PROP_CURRENT_THREAD});
  EXPECT_EQ(Failures(client.Call("fk_whoami")), std::vector<std::string>{"props failed"});
  EXPECT_EQ(Readings(client.Call("fk_whoami")), std::vector<std::string>{"same"});
}

TEST_F(host_injected, AFailedAttachLookupOfTheCallerFailsTheLoadAndTheNextCallRetries) {
  host().Fail(FailRule{"srv_props", 1, 1, VEL_PROP_CURRENT_THREAD});
  velsrv::Client& client = host().NewClient();
  velsrv::CallResult refused = client.Call("fk_whoami");
  EXPECT_FALSE(refused.attached);
  EXPECT_EQ(host().log(),
            (std::vector<std::string>{"fakelib: attach without a caller\n", "fakelib: detach\n"}));
  EXPECT_TRUE(client.Call("fk_whoami").attached);
}

TEST_F(host_injected, TransfersFailByDirection) {
  host().Fail(FailRule{"srv_xferdata", 1, -1, VEL_SET});
  velsrv::Client& client = host().NewClient();
  velsrv::CallResult read = client.Call("fk_read", {RpcParam::Text("@a", "x")});
  EXPECT_TRUE(Failures(read).empty());
  velsrv::CallResult sent =
      client.Call("fk_reverse", {RpcParam::Output("@o", VEL_CHAR_TYPE, 5, "ab")});
  EXPECT_EQ(Failures(sent), std::vector<std::string>{"xferdata set failed"});
  EXPECT_TRUE(sent.output_batches.empty());
}

using host_concurrency = HostTest;

TEST_F(host_concurrency, ClientsRunCallsAtTheSameTimeEachOnItsOwnHandle) {
  constexpr int kClients = 4;
  std::vector<velsrv::Client*> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(&host().NewClient());
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < kClients; ++i) {
      clients[i]->Start("fk_busy", {RpcParam::Text("@tag", "client" + std::to_string(i)),
                                    RpcParam::Output("@reply", VEL_CHAR_TYPE, 40)});
    }
    for (int i = 0; i < kClients; ++i) {
      velsrv::CallResult result = clients[i]->Wait();
      ASSERT_EQ(result.returned, 1);
      ASSERT_TRUE(result.output("@reply").has_value());
      // Its own tag, and srv_props 318 always yielded its own handle.
      EXPECT_EQ(result.output("@reply")->value, "client" + std::to_string(i) + ":0");
      EXPECT_EQ(result.statuses, std::vector<int32_t>{0});
    }
  }
  EXPECT_EQ(host_test::Count(host().log(), "fakelib: attach\n"), 1);
  EXPECT_EQ(host().outstanding_blocks(), 0);
}

TEST_F(host_concurrency, OneCallAtATimePerClient) {
#if defined(_WIN32)
  GTEST_SKIP() << "the server library's refusal is a C++ exception, which cannot leave "
                  "a Windows module built with static runtimes";
#endif
  velsrv::Client& client = host().NewClient();
  client.Start("fk_whoami");
  EXPECT_THROW(client.Start("fk_whoami"), std::logic_error);
  EXPECT_EQ(client.Wait().returned, 1);
  EXPECT_THROW(client.Wait(), std::logic_error);
}

}  // namespace
