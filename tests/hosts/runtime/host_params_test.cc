// RPC parameters as a procedure sees them: description, transfer in with
// cutting and indicators, and output parameters sent back.
#include <cstring>

#include "host_test_support.h"

namespace {

using host_test::Failures;
using host_test::Hex;
using host_test::HostTest;
using host_test::Readings;
using velsrv::RpcParam;

using host_parameters = HostTest;

std::string Reading(int item, int len, int ind, const std::string& value) {
  return "item=" + std::to_string(item) + " len=" + std::to_string(len) +
         " ind=" + std::to_string(ind) + " value=" + Hex(value);
}

std::string Int32Bytes(int32_t value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

TEST_F(host_parameters, DescriptionsCarryNameTypeLengthAndOutputStatus) {
  velsrv::CallResult result = host().NewClient().Call(
      "fk_describe", {RpcParam::Text("@subject", "hello"), RpcParam::Int("@width", 80),
                      RpcParam::Binary("", std::string("\0\1\2", 3)), RpcParam::Void("@peek"),
                      RpcParam::Null("@query", VEL_CHAR_TYPE),
                      RpcParam::Output("@message", VEL_CHAR_TYPE, 255, "seed")});
  EXPECT_TRUE(Failures(result).empty());
  EXPECT_EQ(Readings(result),
            (std::vector<std::string>{
                "item=1 namelen=8 name=@subject type=0 max=5 status=0 format=0 count=0",
                "item=2 namelen=6 name=@width type=8 max=4 status=0 format=0 count=0",
                "item=3 namelen=0 name= type=1 max=3 status=0 format=0 count=0",
                "item=4 namelen=5 name=@peek type=23 max=0 status=0 format=0 count=0",
                "item=5 namelen=6 name=@query type=0 max=0 status=0 format=0 count=0",
                "item=6 namelen=8 name=@message type=0 max=255 status=1024 format=0 count=0"}));
  EXPECT_EQ(result.statuses, std::vector<int32_t>{0});
}

TEST_F(host_parameters, ValuesArriveWholeWithTheirIndicators) {
  const std::string binary("\0\xff\x10", 3);
  velsrv::CallResult result = host().NewClient().Call(
      "fk_read", {RpcParam::Text("@recipient", "ann@example.org"), RpcParam::Int("@width", -7),
                  RpcParam::Binary("@msg_id", binary), RpcParam::Void("@peek"),
                  RpcParam::Null("@query", VEL_CHAR_TYPE), RpcParam::Text("@message", "")});
  EXPECT_TRUE(Failures(result).empty());
  EXPECT_EQ(Readings(result),
            (std::vector<std::string>{
                Reading(1, 15, 0, "ann@example.org"), Reading(2, 4, 0, Int32Bytes(-7)),
                Reading(3, 3, 0, binary), Reading(4, 0, -1, ""),  // no value supplied
                Reading(5, 0, -1, ""),                            // NULL
                Reading(6, 0, 0, ""),                             // empty, not NULL
            }));
}

TEST_F(host_parameters, ValuesLongerThanTheBoundRoomAreCutAndReportTheirFullLength) {
  velsrv::CallResult result = host().NewClient().Call(
      "fk_read_cut4", {RpcParam::Text("@a", "abcdefghij"), RpcParam::Text("@b", "abcd"),
                       RpcParam::Text("@c", "ab"), RpcParam::Null("@d", VEL_BINARY_TYPE)});
  EXPECT_EQ(Readings(result),
            (std::vector<std::string>{Reading(1, 4, 10, "abcd"), Reading(2, 4, 0, "abcd"),
                                      Reading(3, 2, 0, "ab"), Reading(4, 0, -1, "")}));
}

TEST_F(host_parameters, DeclaredMaximumOutranksTheValueLength) {
  RpcParam declared = RpcParam::Text("@subject", "hi");
  declared.maxlength = 40;
  velsrv::CallResult described = host().NewClient().Call("fk_describe", {declared});
  ASSERT_EQ(Readings(described).size(), 1u);
  EXPECT_NE(Readings(described)[0].find(" max=40 "), std::string::npos);

  // A value longer than its declared maximum is transferred up to it.
  RpcParam tight = RpcParam::Text("@subject", "abcdef");
  tight.maxlength = 3;
  velsrv::CallResult read = host().NewClient().Call("fk_read", {tight});
  EXPECT_EQ(Readings(read), std::vector<std::string>{Reading(1, 3, 6, "abc")});
}

TEST_F(host_parameters, OutputParametersRoundTripAndInputsCannotBeBoundForOutput) {
  velsrv::CallResult result = host().NewClient().Call(
      "fk_reverse", {RpcParam::Text("@in", "keep"),
                     RpcParam::Output("@msg_id", VEL_BINARY_TYPE, 256, std::string("\1\2\3", 3)),
                     RpcParam::Output("@subject", VEL_CHAR_TYPE, 255, "", true),
                     RpcParam::Output("@message", VEL_CHAR_TYPE, 255, "stressed")});
  EXPECT_TRUE(Failures(result).empty());
  EXPECT_EQ(Readings(result), std::vector<std::string>{"refused 1"});
  ASSERT_EQ(result.output_batches.size(), 1u);
  const std::vector<velsrv::OutputValue> sent = result.outputs();
  ASSERT_EQ(sent.size(), 3u);

  EXPECT_EQ(sent[0].item, 2);
  EXPECT_EQ(sent[0].name, "@msg_id");
  EXPECT_EQ(sent[0].datatype, VEL_BINARY_TYPE);
  EXPECT_EQ(sent[0].value, std::string("\3\2\1", 3));
  EXPECT_FALSE(sent[0].is_null());

  EXPECT_EQ(sent[1].name, "@subject");
  EXPECT_TRUE(sent[1].is_null());
  EXPECT_EQ(sent[1].value, "");

  // The buffer was reversed after binding: the value is read when sent,
  // and the later overwrite does not reach what was recorded.
  ASSERT_TRUE(result.output("@message").has_value());
  EXPECT_EQ(result.output("@message")->value, "desserts");
  EXPECT_FALSE(result.output("@in").has_value());
  EXPECT_EQ(result.statuses, std::vector<int32_t>{0});
}

TEST_F(host_parameters, EachCallStartsWithItsOwnParametersAndNoBindings) {
  velsrv::Client& client = host().NewClient();
  client.Call("fk_reverse", {RpcParam::Output("@o", VEL_CHAR_TYPE, 10, "abc")});
  // The second call has no output parameter: nothing bound by the first
  // call may be sent again.
  velsrv::CallResult second = client.Call("fk_reverse", {RpcParam::Text("@x", "1")});
  ASSERT_EQ(second.output_batches.size(), 1u);
  EXPECT_TRUE(second.output_batches[0].empty());

  velsrv::CallResult empty = client.Call("fk_read");
  EXPECT_TRUE(Readings(empty).empty());
  EXPECT_EQ(empty.statuses, std::vector<int32_t>{0});
}

TEST_F(host_parameters, ServerPropertiesGiveTheInterfacesFileAndServerName) {
  velsrv::CallResult result = host().NewClient().Call("fk_props");
  EXPECT_TRUE(Failures(result).empty());
  // The server name is not terminated: the byte after it is untouched.
  EXPECT_EQ(Readings(result),
            std::vector<std::string>{"ifile=/tmp/velhost/interfaces server=TESTSERVER after=# "
                                     "short=refused"});
}

TEST_F(host_parameters, HandlesOutsideACallAreRefused) {
  velsrv::Client& client = host().NewClient();
  int32_t count = -1;
  EXPECT_EQ(srv_numparams(client.handle(), &count), VEL_SUCCEED);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(srv_numparams(nullptr, &count), VEL_FAIL);
  int unrelated = 0;
  auto* unknown = reinterpret_cast<srv_proc*>(&unrelated);
  EXPECT_EQ(srv_numparams(unknown, &count), VEL_FAIL);
  cs_datafmt fmt{};
  EXPECT_EQ(srv_descfmt(unknown, VEL_GET, VEL_RPC_DATA, 1, &fmt), VEL_FAIL);
  EXPECT_EQ(srv_xferdata(unknown, VEL_GET, VEL_RPC_DATA), VEL_FAIL);
  EXPECT_EQ(srv_sendstatus(unknown, 0), VEL_FAIL);
  char name[30];
  EXPECT_EQ(srv_thread_props(unknown, VEL_GET, VEL_TPROP_SERVER_NAME, name, sizeof name, nullptr),
            VEL_FAIL);
}

}  // namespace
