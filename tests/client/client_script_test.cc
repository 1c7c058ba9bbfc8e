// Scripted servers: every result sequence a client's result loop tells
// apart, messages at chosen points, and calls failing at chosen moments.
#include <climits>
#include <cstring>
#include <stdexcept>

#include "client_test_support.h"

namespace {

using velct::Col;
using velct::Script;
using velct::Value;
using velct_test::ClientContext;
using velct_test::Connection;

class ClientScript : public velct_test::ClientTest {
 protected:
  // The interfaces file lists ALIAS as another name of the script SRV;
  // SRV itself is found among the registered scripts.
  ClientContext context_{"ALIAS script SRV\n"};
};

TEST_F(ClientScript, RowLikeResultsCarryColumnsAndRows) {
  velct::RegisterServer(
      Script("SRV")
          .Rows({Col::Char("a", 2), Col::Int("bcd")})
          .Row({"x", 5})
          .Row({"yy", 10})
          .Row({Value::Null(), -3})
          .Done(3)
          .Result(velct::kCursorResult, {Col::Of("d", 12, 30)})
          .Row({"2001-09-09"})
          .Done(1)
          .Result(velct::kParamResult, {Col::Int("@out")})
          .Row({42})
          .Result(velct::kComputeResult, {Col::Float("sum"), Col::Image("img", 100)})
          .Row({2.5, Value::Bytes(std::string("\x00\x01", 2))})
          .Done(-1));
  Connection con(context_.get(), "SRV");
  EXPECT_EQ(con.Run("select ..."),
            "row[a:0:2,bcd:8:4] | (x,5) | (yy,10) | (NULL,-3) | done(3) | "
            "cursor[d:12:30] | (2001-09-09) | done(1) | param[@out:8:4] | (42) | "
            "compute[sum:10:8,img:5:100] | (2.5,0001) | done(-1) | end");
}

TEST_F(ClientScript, StatusSucceedFailAndUnexpectedTypes) {
  velct::RegisterServer(Script("SRV")
                            .Status(-6)
                            .Done(-1)
                            .Succeeded()
                            .Done(0)
                            .Failed()
                            .Done()
                            .Result(4044)
                            .Result(4099, {Col::Char("odd")})
                            .Row({"r"}));
  Connection con(context_.get(), "SRV");
  EXPECT_EQ(con.Run("exec p"),
            "status[:8:4] | (-6) | done(-1) | succeed | done(0) | fail | done(-1) | type 4044 | "
            "type 4099[odd:0:255] | (r) | end");
}

TEST_F(ClientScript, StatusValueBindsAsAFourByteInteger) {
  velct::RegisterServer(Script("SRV").Status(INT_MIN));
  Connection con(context_.get(), "SRV");
  cs_command* cmd = nullptr;
  ASSERT_EQ(ct_cmd_alloc(con.get(), &cmd), 1);
  ASSERT_EQ(ct_command(cmd, VEL_LANG_CMD, "exec p", VEL_NULLTERM, VEL_UNUSED), 1);
  ASSERT_EQ(ct_send(cmd), 1);
  int32_t type = 0;
  ASSERT_EQ(ct_results(cmd, &type), 1);
  EXPECT_EQ(type, VEL_STATUS_RESULT);
  cs_datafmt fmt{};
  ASSERT_EQ(ct_describe(cmd, 1, &fmt), 1);
  EXPECT_EQ(fmt.namelen, 0);
  int32_t status = 0, copied = 0;
  int16_t indicator = 5;
  ASSERT_EQ(ct_bind(cmd, 1, &fmt, &status, &copied, &indicator), 1);
  ASSERT_EQ(ct_fetch(cmd, VEL_UNUSED, VEL_UNUSED, VEL_UNUSED, nullptr), 1);
  EXPECT_EQ(status, INT_MIN);
  EXPECT_EQ(copied, 4);
  EXPECT_EQ(indicator, 0);
  EXPECT_EQ(ct_fetch(cmd, VEL_UNUSED, VEL_UNUSED, VEL_UNUSED, nullptr), VEL_END_DATA);
  EXPECT_EQ(ct_results(cmd, &type), VEL_END_RESULTS);
  ct_cmd_drop(cmd);
}

TEST_F(ClientScript, MessagesArriveWhereTheScriptPutsThem) {
  velct::ServerMessage full;
  full.number = 2812;
  full.severity = 16;
  full.state = 62;
  full.line = 7;
  full.text = "no such procedure";
  full.server = "SRV";
  full.proc = "p_outer";
  velct::RegisterServer(Script("SRV")
                            .ServerMsg(5703, 10, "login message")
                            .Batch()
                            .ServerMsg(full)
                            .Rows({Col::Int("n")})
                            .Row({1})
                            .ClientMsg({1, 2, 3, 4}, "between rows")
                            .Row({2})
                            .ServerMsg(50000, 0, "after the last row")
                            .Done(2)
                            .ServerMsg(50001, 0, "at the end"));
  Connection con(context_.get());
  ASSERT_EQ(con.Connect("SRV"), 1);
  ASSERT_EQ(con.recorder().events, std::vector<std::string>{"srv 5703/10 line 1: login message"});
  EXPECT_EQ(con.Run("select"),
            "srv 2812/16 line 7: no such procedure | row[n:8:4] | (1) | "
            "cli 1.2.3.4: between rows | (2) | srv 50000/0 line 1: after the last row | "
            "done(2) | srv 50001/0 line 1: at the end | end");

  const cs_servermsg& msg = con.recorder().server_messages.at(1);  // after the login message
  EXPECT_EQ(msg.state, 62);
  EXPECT_EQ(std::string(msg.svrname, static_cast<size_t>(msg.svrnlen)), "SRV");
  EXPECT_STREQ(msg.proc, "p_outer");
  EXPECT_EQ(msg.proclen, 7);
  const cs_clientmsg& client = con.recorder().client_messages.at(0);
  EXPECT_EQ(client.msgnumber, 0x01020304);
  EXPECT_EQ(client.severity, 3);
}

TEST_F(ClientScript, CallsFailAtTheChosenMoment) {
  velct::RegisterServer(Script("SRV")
                            .Rows({Col::Int("n")})
                            .FailCall("ct_bind")
                            .Row({1})
                            .Row({2})
                            .FailCall("ct_fetch")
                            .Row({3})
                            .Done(3)
                            .FailCall("ct_res_info")
                            .Status(0)
                            .FailCall("ct_results"));
  Connection con(context_.get(), "SRV");
  cs_command* cmd = nullptr;
  ASSERT_EQ(ct_cmd_alloc(con.get(), &cmd), 1);
  ASSERT_EQ(ct_command(cmd, VEL_LANG_CMD, "q", VEL_NULLTERM, VEL_UNUSED), 1);
  ASSERT_EQ(ct_send(cmd), 1);
  int32_t type = 0, n = 0, count = 0;
  ASSERT_EQ(ct_results(cmd, &type), 1);
  cs_datafmt fmt{};
  fmt.datatype = VEL_INT_TYPE;
  fmt.maxlength = 4;
  EXPECT_EQ(ct_bind(cmd, 1, &fmt, &n, nullptr, nullptr), 0) << "right after the result";
  ASSERT_EQ(ct_bind(cmd, 1, &fmt, &n, nullptr, nullptr), 1);
  const auto fetch = [cmd] { return ct_fetch(cmd, VEL_UNUSED, VEL_UNUSED, VEL_UNUSED, nullptr); };
  ASSERT_EQ(fetch(), 1);
  ASSERT_EQ(fetch(), 1);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(fetch(), 0) << "the fetch after the second row";
  EXPECT_EQ(fetch(), 1) << "the failed fetch consumed nothing";
  EXPECT_EQ(n, 3);
  EXPECT_EQ(fetch(), VEL_END_DATA);
  ASSERT_EQ(ct_results(cmd, &type), 1);
  EXPECT_EQ(ct_res_info(cmd, VEL_ROW_COUNT, &count, VEL_UNUSED, nullptr), 0);
  EXPECT_EQ(ct_res_info(cmd, VEL_ROW_COUNT, &count, VEL_UNUSED, nullptr), 1);
  EXPECT_EQ(count, 3);
  ASSERT_EQ(ct_results(cmd, &type), 1);
  EXPECT_EQ(type, VEL_STATUS_RESULT);
  ASSERT_EQ(fetch(), 1);
  ASSERT_EQ(fetch(), VEL_END_DATA);
  EXPECT_EQ(ct_results(cmd, &type), 0) << "the failure placed at the end of the batch";
  EXPECT_EQ(ct_results(cmd, &type), VEL_END_RESULTS);
  ct_cmd_drop(cmd);
}

TEST_F(ClientScript, LoginFailuresAndCommonLibraryCalls) {
  velct::RegisterServer(Script("SRV").FailCall("cs_time").FailCall("ct_cmd_alloc").Batch());
  Connection con(context_.get(), "SRV");
  cs_daterec rec{};
  EXPECT_EQ(cs_time(context_.get(), nullptr, nullptr, VEL_UNUSED, nullptr, &rec), 0);
  EXPECT_EQ(cs_time(context_.get(), nullptr, nullptr, VEL_UNUSED, nullptr, &rec), 1);
  EXPECT_EQ(con.Run("x"), "ct_cmd_alloc failed");
  EXPECT_EQ(con.Run("x"), "end");
}

TEST_F(ClientScript, EachSendReadsTheNextBatch) {
  velct::RegisterServer(Script("SRV")
                            .Batch()
                            .ServerMsg(5701, 10, "switched")
                            .Succeeded()
                            .Done()
                            .Batch()
                            .Rows({Col::Char("c")})
                            .Row({"v"})
                            .Done(1));
  Connection con(context_.get(), "ALIAS");
  EXPECT_EQ(con.Run("use pubs"), "srv 5701/10 line 1: switched | succeed | done(-1) | end");
  EXPECT_EQ(con.Run("select c"), "row[c:0:255] | (v) | done(1) | end");
  EXPECT_EQ(con.Run("select more"), "end") << "past the last batch";
  EXPECT_EQ(velct::ReceivedBatches("SRV"),
            (std::vector<std::string>{"use pubs", "select c", "select more"}));

  Connection again(context_.get(), "SRV");
  EXPECT_EQ(again.Run("use pubs"), "srv 5701/10 line 1: switched | succeed | done(-1) | end")
      << "each connection reads the script from its start";
}

TEST_F(ClientScript, BuilderRefusesRowsWithoutMatchingColumns) {
  EXPECT_THROW(Script("S").Row({1}), std::logic_error);
  EXPECT_THROW(Script("S").Rows({Col::Int("a")}).Row({1, 2}), std::logic_error);
  EXPECT_THROW(Script("S").Rows({Col::Int("a")}).Done().Row({1}), std::logic_error);
}

TEST_F(ClientScript, UnregisteredScriptIsAnUnknownServer) {
  velct::RegisterServer(Script("SRV"));
  velct::UnregisterServer("SRV");
  Connection con(context_.get());
  EXPECT_EQ(con.Connect("SRV"), 0);
  EXPECT_EQ(con.Connect("ALIAS"), 0);
  ASSERT_EQ(con.recorder().client_messages.size(), 2u);
  EXPECT_EQ(con.recorder().client_messages[1].msgnumber, velct::kMsgUnknownServer.packed());
  EXPECT_NE(con.recorder().events[1].find("no scripted server 'SRV'"), std::string::npos)
      << con.recorder().events[1];
}

}  // namespace
