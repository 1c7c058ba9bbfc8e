// Reading RPC parameters: matching by name or position, datatypes, void
// parameters, switches, count limits, and the server library's failures.
#include <gtest/gtest.h>

#include "message_numbers.h"
#include "velmail_fixture.h"

namespace veltest {
namespace {

using velsrv::FailRule;
using velsrv::RpcParam;

class ParamsTest : public VelmailTest {
 protected:
  void SetUp() override {
    VelmailTest::SetUp();
    StartMail(client());
  }

  // What the call routed; a call that routed nothing must have succeeded.
  std::vector<Routed> Call(const std::string& procedure, std::vector<RpcParam> params) {
    velsrv::CallResult result = client().Call(procedure, std::move(params));
    EXPECT_EQ(result.statuses.size(), result.routed.empty() ? 1u : 0u);
    return Simplify(result.routed);
  }

  // xp_sendmail accepted its parameters and sent the mail.
  static std::vector<Routed> Accepted() { return {}; }
  // The reading procedures, past their parameters, find the inbox empty.
  static std::vector<Routed> EmptyInbox() { return {{kMsgNoMessage, kToLogAndClient, {N(0)}}}; }

  std::string LastLogonUser() {
    std::string user;
    for (const auto& call : testcmc::Calls()) {
      if (call.entry == "cmc_logon") user = call.user;
    }
    return user;
  }
};

TEST_F(ParamsTest, AFirstUnnamedParameterMakesTheWholeCallPositional) {
  ExpectSucceeded(client().Call("xp_stopmail"));
  // The second carries a name that is not even a parameter of the table.
  ExpectSucceeded(client().Call("xp_startmail", {Text("", "pos"), Text("@nonsense", "pw")}));
  EXPECT_EQ(LastLogonUser(), "pos");
}

TEST_F(ParamsTest, AfterANamedFirstParameterAnUnnamedOneIsUnknown) {
  EXPECT_EQ(Call("xp_sendmail", {Text("@recipient", "a"), Text("", "b")}),
            (std::vector<Routed>{{kMsgUnknownParameter, kToLogAndClient, {T(""), N(0)}}}));
}

TEST_F(ParamsTest, NamesMatchWholeAndWithTheirCase) {
  EXPECT_EQ(
      Call("xp_sendmail", {Text("@Recipient", "a")}),
      (std::vector<Routed>{{kMsgUnknownParameter, kToLogAndClient, {T("@Recipient"), N(0)}}}));
  EXPECT_EQ(Call("xp_sendmail", {Text("@recip", "a")}),
            (std::vector<Routed>{{kMsgUnknownParameter, kToLogAndClient, {T("@recip"), N(0)}}}));
  EXPECT_EQ(
      Call("xp_sendmail", {Text("@recipients", "a")}),
      (std::vector<Routed>{{kMsgUnknownParameter, kToLogAndClient, {T("@recipients"), N(0)}}}));
}

TEST_F(ParamsTest, AVoidParameterKeepsItsDefault) {
  ExpectSucceeded(client().Call("xp_stopmail"));
  ExpectSucceeded(client().Call("xp_startmail", {RpcParam::Void("@mail_user")}));
  EXPECT_EQ(LastLogonUser(), "VDBSERVER");
  // A void "@recipient" leaves it empty, so the recipient check refuses.
  EXPECT_EQ(Call("xp_sendmail", {RpcParam::Void("@recipient")}),
            (std::vector<Routed>{{kMsgNoRecipient, kToLogAndClient, {T("xp_sendmail"), N(0)}}}));
}

TEST_F(ParamsTest, DatatypesMustMatchTheTable) {
  EXPECT_EQ(Call("xp_sendmail", {Text("@recipient", "a"), Text("@width", "80")}),
            (std::vector<Routed>{{kMsgWrongDatatype, kToLogAndClient, {T("@width"), N(0)}}}));
  EXPECT_EQ(
      Call("xp_sendmail", {Text("", "a"), Text("", "subject"), Int("", 3)}),
      (std::vector<Routed>{{kMsgWrongDatatype, kToLogAndClient, {T("at location 3"), N(0)}}}));
  EXPECT_EQ(Call("xp_deletemail", {Text("@msg_id", "abc")}),
            (std::vector<Routed>{{kMsgWrongDatatype, kToLogAndClient, {T("@msg_id"), N(0)}}}));
  EXPECT_EQ(Call("xp_sendmail", {Text("@recipient", "a"), Int("@width", 80)}), Accepted());
}

TEST_F(ParamsTest, SwitchesAcceptTrueAndFalseInAnyCaseOnly) {
  for (const char* good : {"true", "FALSE", "TrUe", "false"}) {
    SCOPED_TRACE(good);
    EXPECT_EQ(Call("xp_sendmail", {Text("@recipient", "a"), Text("@no_output", good)}), Accepted());
  }
  for (const char* bad : {"1", "yes", "", "true ", "truex"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(Call("xp_sendmail", {Text("@recipient", "a"), Text("@echo_error", bad)}),
              (std::vector<Routed>{{kMsgBadValue, kToLogAndClient, {T("@echo_error"), N(0)}}}));
  }
}

TEST_F(ParamsTest, SwitchesAreCheckedInTheirOrder) {
  EXPECT_EQ(Call("xp_sendmail", {Text("@recipient", "a"), Text("@no_column_header", "x"),
                                 Text("@attach_result", "y"), Text("@include_query", "z")}),
            (std::vector<Routed>{{kMsgBadValue, kToLogAndClient, {T("@attach_result"), N(0)}}}));
  EXPECT_EQ(Call("xp_readmail", {Text("@unread", "x"), Text("@peek", "y")}),
            (std::vector<Routed>{{kMsgBadValue, kToLogAndClient, {T("@peek"), N(0)}}}));
}

TEST_F(ParamsTest, EveryProcedureRefusesCountsOutsideItsLimits) {
  auto many = [](int n) {
    std::vector<RpcParam> params;
    for (int i = 0; i < n; ++i) params.push_back(Text("", "x"));
    return params;
  };
  EXPECT_EQ(Call("xp_sendmail", many(19)),
            (std::vector<Routed>{{kMsgParamCount, kToLogAndClient, {T("xp_sendmail"), N(19)}}}));
  EXPECT_EQ(Call("xp_sendmail", {}),
            (std::vector<Routed>{{kMsgParamCount, kToLogAndClient, {T("xp_sendmail"), N(0)}}}));
  EXPECT_EQ(Call("xp_readmail", many(16)),
            (std::vector<Routed>{{kMsgParamCount, kToLogAndClient, {T("xp_readmail"), N(16)}}}));
  EXPECT_EQ(Call("xp_findnextmsg", {}),
            (std::vector<Routed>{{kMsgParamCount, kToLogAndClient, {T("xp_findnextmsg"), N(0)}}}));
  EXPECT_EQ(Call("xp_findnextmsg", many(4)),
            (std::vector<Routed>{{kMsgParamCount, kToLogAndClient, {T("xp_findnextmsg"), N(4)}}}));
  EXPECT_EQ(Call("xp_deletemail", many(2)),
            (std::vector<Routed>{{kMsgParamCount, kToLogAndClient, {T("xp_deletemail"), N(2)}}}));
  // No parameters at all is fine where the table allows it.
  EXPECT_EQ(Call("xp_readmail", {}), EmptyInbox());
  EXPECT_EQ(Call("xp_deletemail", {}), EmptyInbox());
}

TEST_F(ParamsTest, ServerLibraryFailuresWhileReading) {
  host().Fail(FailRule{"srv_descfmt", 1, 1, 2});
  EXPECT_EQ(Call("xp_sendmail", {Text("@recipient", "a"), Text("@subject", "s")}),
            (std::vector<Routed>{{kMsgDescfmtFailed, kToLog, {T("sm__getsmparam"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
  host().Fail(FailRule{"srv_xferdata", 1, 1, VEL_GET});
  EXPECT_EQ(Call("xp_readmail", {Text("@peek", "true")}),
            (std::vector<Routed>{{kMsgXferdataFailed, kToLog, {T("sm__getrmparam"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
  host().Fail(FailRule{"srv_bind", 1, 1, 1});
  EXPECT_EQ(Call("xp_deletemail", {RpcParam::Binary("@msg_id", "ref")}),
            (std::vector<Routed>{{kMsgBindFailed, kToLog, {T("@msg_id"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
  host().Fail(FailRule{"srv_bind", 1, 1, 2});
  EXPECT_EQ(Call("xp_sendmail", {Text("", "a"), Text("", "s")}),
            (std::vector<Routed>{{kMsgBindFailed, kToLog, {T("at location 2"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
  host().Fail(FailRule{"srv_numparams"});
  EXPECT_EQ(Call("xp_findnextmsg", {}),
            (std::vector<Routed>{{kMsgNumparamsFailed, kToLog, {T("xp_findnextmsg"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
}

TEST_F(ParamsTest, AValueLongerThanItsEntryIsRefusedNotCut) {
  EXPECT_EQ(Call("xp_sendmail", {Text("@recipient", std::string(257, 'r'))}),
            (std::vector<Routed>{{kMsgBadValue, kToLogAndClient, {T("@recipient"), N(0)}}}));
  // 256 bytes fit exactly, with the terminator in the spare byte.
  EXPECT_EQ(Call("xp_sendmail", {Text("@recipient", std::string(256, 'r'))}), Accepted());
  // Declared long but short in fact is fine too.
  RpcParam declared = Text("@recipient", "a");
  declared.maxlength = 8000;
  EXPECT_EQ(Call("xp_sendmail", {declared}), Accepted());
}

TEST_F(ParamsTest, SendmailChecksItsValues) {
  EXPECT_EQ(
      Call("xp_sendmail", {Text("@recipient", "a"), Text("@query", "q"), Text("@message", "m")}),
      (std::vector<Routed>{
          {kMsgQueryAndMessage, kToLogAndClient, {T("@query and @message"), N(0)}}}));
  EXPECT_EQ(Call("xp_sendmail", {Text("@recipient", "a"), Int("@width", 0)}),
            (std::vector<Routed>{{kMsgBadValue, kToLogAndClient, {T("@width"), N(0)}}}));
  for (const char* type : {"cmc: ipm", "CMC: IPM ", "", "IPM"}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(Call("xp_sendmail", {Text("@recipient", "a"), Text("@type", type)}),
              (std::vector<Routed>{{kMsgBadValue, kToLogAndClient, {T("@type"), N(0)}}}));
  }
  EXPECT_EQ(Call("xp_sendmail", {Text("@subject", "s")}),
            (std::vector<Routed>{{kMsgNoRecipient, kToLogAndClient, {T("xp_sendmail"), N(0)}}}));
}

TEST_F(ParamsTest, ReadingProceduresCheckTheirValues) {
  EXPECT_EQ(Call("xp_readmail", {Int("@bytes_to_skip", -1)}),
            (std::vector<Routed>{{kMsgBadValue, kToLogAndClient, {T("@bytes_to_skip"), N(0)}}}));
  EXPECT_EQ(Call("xp_readmail", {Text("@type", "cmc: ipm")}),
            (std::vector<Routed>{{kMsgBadValue, kToLogAndClient, {T("@type"), N(0)}}}));
  EXPECT_EQ(Call("xp_readmail", {Text("@type", "")}), EmptyInbox());

  RpcParam out_id = RpcParam::Output("@msg_id", VEL_BINARY_TYPE, 256);
  EXPECT_EQ(Call("xp_findnextmsg", {Text("@unread_only", "yes"), out_id}),
            (std::vector<Routed>{{kMsgBadValue, kToLogAndClient, {T("@unread_only"), N(0)}}}));
  EXPECT_EQ(Call("xp_findnextmsg", {Text("@unread_only", "false")}),
            (std::vector<Routed>{{kMsgNoMsgId, kToLogAndClient, {T("@msg_id"), N(0)}}}));
  EXPECT_EQ(Call("xp_findnextmsg", {RpcParam::Binary("@msg_id", "")}),
            (std::vector<Routed>{{kMsgNotOutput, kToLogAndClient, {T("@msg_id"), N(0)}}}));
  EXPECT_EQ(Call("xp_findnextmsg", {out_id, Text("@type", "CMC: IPM ")}),
            (std::vector<Routed>{{kMsgBadValue, kToLogAndClient, {T("@type"), N(0)}}}));
  // Positional: the first parameter is "@msg_id".
  RpcParam positional = RpcParam::Output("", VEL_BINARY_TYPE, 256);
  EXPECT_EQ(Call("xp_findnextmsg", {positional}), EmptyInbox());
  host().Fail(FailRule{"srv_descfmt", 2, 1});
  EXPECT_EQ(Call("xp_findnextmsg", {out_id}),
            (std::vector<Routed>{{kMsgDescfmtFailed, kToLog, {T("sm__getfmparam"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
}

TEST_F(ParamsTest, ProceduresNeedASessionBeforeTheyReadParameters) {
  ExpectSucceeded(client().Call("xp_stopmail"));
  for (const char* procedure : {"xp_sendmail", "xp_readmail", "xp_findnextmsg", "xp_deletemail"}) {
    SCOPED_TRACE(procedure);
    EXPECT_EQ(Call(procedure, {Text("@bad", "x")}),
              (std::vector<Routed>{{kMsgNoSession, kToLogAndClient, {T(procedure), N(0)}}}));
  }
}

}  // namespace
}  // namespace veltest
