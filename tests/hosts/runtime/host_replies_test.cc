// What a call sends back, in the order it was sent, and the messages the
// message library routes.
#include "host_test_support.h"
#include "platform.h"
#include "velmsgs.h"

namespace {

using host_test::Count;
using host_test::HostTest;
using velsrv::ReplyKind;
using velsrv::RpcParam;

using host_replies = HostTest;

TEST_F(host_replies, EveryKindOfReplyIsKeptInTheOrderSent) {
  velsrv::Client& client = host().NewClient();
  velsrv::CallResult result =
      client.Call("fk_replies", {RpcParam::Output("@out", VEL_CHAR_TYPE, 10)});
  ASSERT_EQ(result.returned, 1);

  std::vector<ReplyKind> kinds;
  for (const velsrv::ReplyEvent& event : result.sequence) kinds.push_back(event.kind);
  EXPECT_EQ(kinds,
            (std::vector<ReplyKind>{ReplyKind::kMessage, ReplyKind::kDone, ReplyKind::kMessage,
                                    ReplyKind::kOutputs, ReplyKind::kDone, ReplyKind::kStatus}));
  // Indexes point into the lists of each kind.
  EXPECT_EQ(result.sequence[2].index, 1u);
  EXPECT_EQ(result.sequence[4].index, 1u);

  ASSERT_EQ(result.messages.size(), 2u);
  const velsrv::ClientMessage& forwarded = result.messages[0];
  EXPECT_TRUE(forwarded.forwarded);
  EXPECT_EQ(forwarded.text, "first");
  EXPECT_EQ(forwarded.severity, 10);
  EXPECT_EQ(forwarded.state, 1);
  EXPECT_EQ(forwarded.server, "FAKESRV");
  EXPECT_EQ(forwarded.procedure, "fakeproc");
  EXPECT_EQ(forwarded.line, 42);

  const velsrv::ClientMessage& routed = result.messages[1];
  EXPECT_FALSE(routed.forwarded);
  EXPECT_EQ(routed.number, 11544);
  EXPECT_EQ(routed.severity, 16);
  EXPECT_EQ(routed.state, 1);
  EXPECT_FALSE(routed.text.empty());
  EXPECT_EQ(result.message_numbers(), (std::vector<int32_t>{2, 11544}));

  ASSERT_EQ(result.dones.size(), 2u);
  EXPECT_EQ(result.dones[0].status, VEL_DONE_FINAL);
  EXPECT_EQ(result.dones[1].status, 1);
  EXPECT_EQ(result.dones[1].transtate, 2);
  EXPECT_EQ(result.dones[1].count, 3);
  ASSERT_TRUE(result.output("@out").has_value());
  EXPECT_EQ(result.output("@out")->value, "abc");
  EXPECT_EQ(result.statuses, std::vector<int32_t>{0});

  // The next call on the same client starts from nothing.
  velsrv::CallResult next = client.Call("fk_whoami");
  EXPECT_EQ(next.messages.size(), 1u);
  EXPECT_TRUE(next.output_batches.empty());
  EXPECT_TRUE(next.dones.empty());
}

// fk_route routes 11519 (a message raised with a name and a number).
velsrv::CallResult Route(velsrv::Client& client, int32_t routing, bool to_self) {
  return client.Call("fk_route",
                     {RpcParam::Int("@msgnum", 11519), RpcParam::Int("@routing", routing),
                      RpcParam::Int("@to_self", to_self ? 1 : 0)});
}

TEST_F(host_replies, RoutingOneWritesTheLogOnly) {
  velsrv::Client& client = host().NewClient();
  velsrv::CallResult result = Route(client, VEL_ROUTE_LOG, true);
  EXPECT_TRUE(result.messages.empty());
  ASSERT_EQ(result.routed.size(), 1u);
  const velsrv::RoutedMessage& routed = result.routed[0];
  EXPECT_EQ(routed.thread, client.handle());
  EXPECT_EQ(routed.msgnum, 11519);
  EXPECT_EQ(routed.routing, VEL_ROUTE_LOG);
  EXPECT_EQ(routed.args, (std::vector<velsrv::RouteArg>{{true, "fk_route", 0}, {false, "", 7}}));
  EXPECT_NE(routed.text.find("fk_route"), std::string::npos);
  EXPECT_EQ(Count(result.log, routed.text), 1);
  EXPECT_EQ(Count(host().log(), routed.text), 1);
  ASSERT_EQ(host().routed().size(), 1u);
  EXPECT_EQ(host().routed()[0].text, routed.text);
}

TEST_F(host_replies, RoutingEightReachesTheClientOnly) {
  velsrv::Client& client = host().NewClient();
  ASSERT_EQ(host().Load(), 1);
  velsrv::CallResult result = Route(client, VEL_ROUTE_CLIENT, true);
  ASSERT_EQ(result.messages.size(), 1u);
  EXPECT_EQ(result.messages[0].number, 11519);
  EXPECT_EQ(result.messages[0].text, result.routed.at(0).text);
  EXPECT_TRUE(result.log.empty());
  EXPECT_TRUE(host().log().size() == 1u);  // only the attach line
}

TEST_F(host_replies, RoutingNineDoesBoth) {
  velsrv::Client& client = host().NewClient();
  velsrv::CallResult result = Route(client, VEL_ROUTE_LOG | VEL_ROUTE_CLIENT, true);
  ASSERT_EQ(result.messages.size(), 1u);
  EXPECT_EQ(Count(result.log, result.messages[0].text), 1);
}

TEST_F(host_replies, NullThreadNeverReachesAClient) {
  velsrv::Client& client = host().NewClient();
  velsrv::CallResult result = Route(client, VEL_ROUTE_LOG | VEL_ROUTE_CLIENT, false);
  EXPECT_TRUE(result.messages.empty());
  ASSERT_EQ(result.routed.size(), 1u);  // still routed on this call's thread
  EXPECT_EQ(result.routed[0].thread, nullptr);
  EXPECT_EQ(Count(result.log, result.routed[0].text), 1);
}

TEST_F(host_replies, AMessageForAnotherClientReachesThatClientsCall) {
  velsrv::Client& busy = host().NewClient();
  velsrv::Client& other = host().NewClient();
  ASSERT_EQ(host().Load(), 1);
  busy.Start("fk_busy", {RpcParam::Text("@tag", "b"), RpcParam::Output("@out", VEL_CHAR_TYPE, 20)});
  // Delivered from this thread while the busy client's call runs (it
  // sleeps at least 50 ms). Routed with the busy client's handle.
  vel::os::SleepMs(20);
  velsrv_route_deliver(busy.handle(), 11526, VEL_ROUTE_CLIENT, nullptr, 0, "to busy");
  velsrv::CallResult result = busy.Wait();
  EXPECT_EQ(result.message_numbers(), std::vector<int32_t>{11526});
  EXPECT_TRUE(result.routed.empty());  // routed on another thread
  EXPECT_TRUE(other.Call("fk_whoami").message_numbers() == std::vector<int32_t>{2});
}

TEST(host_replies_variants, TheNoRouteMessageLibraryLoadsUnderTheSameNameWithoutTheRouter) {
  velsrv::HostOptions options;
  options.library = host_test::FakeLibrary();
  options.message_library = host_test::NoRouteMessageLibrary();
  velsrv::Host host(options);
  vel::os::Module found = vel::os::FindLoadedModule("velmsgs");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(vel::os::ModuleSymbol(found, "xp_srv_route_err"), nullptr);

  velsrv::CallResult result = host.NewClient().Call(
      "fk_route", {RpcParam::Int("@msgnum", 11519), RpcParam::Int("@routing", 9),
                   RpcParam::Int("@to_self", 1)});
  EXPECT_EQ(host_test::Failures(result), std::vector<std::string>{"no router"});
}

TEST(host_replies_variants, TheMessageLibraryIsFoundByNameWithItsRouter) {
  velsrv::HostOptions options;
  options.library = host_test::FakeLibrary();
  options.message_library = host_test::MessageLibrary();
  velsrv::Host host(options);
  vel::os::Module found = vel::os::FindLoadedModule("velmsgs");
  ASSERT_NE(found, nullptr);
  EXPECT_NE(vel::os::ModuleSymbol(found, "xp_srv_route_err"), nullptr);
}

}  // namespace
