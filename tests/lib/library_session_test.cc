// The mail session: xp_startmail, xp_stopmail and xp_srv_set_mailprofile,
// and the worker that makes their calls.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "message_numbers.h"
#include "platform.h"
#include "velmail_fixture.h"

namespace veltest {
namespace {

using testcmc::Action;
using velsrv::FailRule;
using velsrv::RpcParam;

class SessionTest : public VelmailTest {};

TEST_F(SessionTest, StartmailLogsOnWithTheGivenUserPasswordAndExtension) {
  ExpectSucceeded(client().Call("xp_startmail",
                                {Text("@mail_user", "alice"), Text("@mail_password", "secret")}));
  testcmc::Call logon = LastCall("cmc_logon");
  EXPECT_EQ(logon.user, "alice");
  EXPECT_EQ(logon.password, "secret");
  EXPECT_TRUE(logon.service_null);
  EXPECT_TRUE(logon.character_set_null);
  EXPECT_EQ(logon.ui_id, 0u);
  EXPECT_EQ(logon.version, 100u);
  EXPECT_EQ(logon.flags, 0u);
  ASSERT_FALSE(logon.extensions_null);
  ASSERT_EQ(logon.extensions.size(), 1u);
  EXPECT_EQ(logon.extensions[0].item_code, 528u);
  EXPECT_EQ(logon.extensions[0].item_data, 4u);
  EXPECT_EQ(logon.extensions[0].item_reference, nullptr);
  EXPECT_EQ(logon.extensions[0].extension_flags, 0x80010000u);
  // The worker, not the client's thread, made the call.
  EXPECT_EQ(testcmc::OpenSessions(), 1);
}

TEST_F(SessionTest, StartmailFillsMissingParametersFromTheDefaults) {
  ExpectSucceeded(client().Call("xp_startmail", {Text("@mail_user", "bob")}));
  EXPECT_EQ(LastCall("cmc_logon").password, "KQX");
  ExpectSucceeded(client().Call("xp_stopmail"));
  ExpectSucceeded(client().Call("xp_startmail", {Text("@mail_password", "pw")}));
  EXPECT_EQ(LastCall("cmc_logon").user, "VDBSERVER");
  ExpectSucceeded(client().Call("xp_stopmail"));
  // Positional parameters.
  ExpectSucceeded(client().Call("xp_startmail", {Text("", "carol"), Text("", "pw2")}));
  EXPECT_EQ(LastCall("cmc_logon").user, "carol");
  EXPECT_EQ(LastCall("cmc_logon").password, "pw2");
}

TEST_F(SessionTest, StartmailWhileOpenReports11517AndSendsNoStatus) {
  StartMail(client());
  // Even with parameters it would refuse.
  velsrv::CallResult result =
      client().Call("xp_startmail", {Text("", "a"), Text("", "b"), Text("", "c")});
  EXPECT_EQ(result.returned, 1);
  EXPECT_TRUE(result.statuses.empty());
  EXPECT_EQ(
      Simplify(result.routed),
      (std::vector<Routed>{{kMsgAlreadyLoggedOn, kToLogAndClient, {T("xp_startmail"), N(0)}}}));
  EXPECT_EQ(testcmc::CallCount("cmc_logon"), 1);
}

TEST_F(SessionTest, StartmailParameterFailures) {
  velsrv::CallResult three =
      client().Call("xp_startmail", {Text("", "a"), Text("", "b"), Text("", "c")});
  ExpectFailedWithoutStatus(three);
  EXPECT_EQ(Simplify(three.routed),
            (std::vector<Routed>{{kMsgParamCount, kToLogAndClient, {T("xp_startmail"), N(3)}}}));

  velsrv::CallResult none = client().Call("xp_startmail");
  ExpectFailedWithoutStatus(none);
  EXPECT_EQ(Simplify(none.routed), (std::vector<Routed>{{kMsgNoProfile, kToLogAndClient, {N(0)}}}));

  host().Fail(FailRule{"srv_numparams"});
  velsrv::CallResult count = client().Call("xp_startmail", {Text("@mail_user", "a")});
  ExpectFailedWithoutStatus(count);
  EXPECT_EQ(Simplify(count.routed),
            (std::vector<Routed>{{kMsgNumparamsFailed, kToLog, {T("xp_startmail"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
  EXPECT_EQ(testcmc::CallCount("cmc_logon"), 0);
}

TEST_F(SessionTest, StartmailWithoutParametersUsesTheStoredProfile) {
  host().SetMailProfile("profuser", "abc", &client());
  EXPECT_TRUE(host().routed().empty());
  ExpectSucceeded(client().Call("xp_stopmail"));
  ExpectSucceeded(client().Call("xp_startmail"));
  testcmc::Call logon = LastCall("cmc_logon");
  EXPECT_EQ(logon.user, "profuser");
  EXPECT_EQ(logon.password, std::string("\x62\x03\x01"));
  // xp_startmail passes its extension even with the stored profile.
  EXPECT_EQ(logon.extensions.size(), 1u);
}

TEST_F(SessionTest, SetMailprofileDecodesThePassword) {
  struct Case {
    const char* encoded;
    std::string clear;
  } cases[] = {
      {"abc", std::string("\x62\x03\x01")},
      {"\x03xy", ""},                                         // first byte equals the length
      {"axxb", std::string{char(4 ^ 'a'), char('a' ^ 'x')}},  // equal neighbours end it
      {"", ""},
      {nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encoded == nullptr ? "(null)" : c.encoded);
    host().SetMailProfile("u", c.encoded, &client());
    testcmc::Call logon = LastCall("cmc_logon");
    EXPECT_EQ(logon.password, c.clear);
    EXPECT_TRUE(logon.extensions_null);  // the host's logon passes none
    ExpectSucceeded(client().Call("xp_stopmail"));
  }
}

TEST_F(SessionTest, SetMailprofileFailures) {
  // A null user: 11542 on the current client, profile unchanged.
  host().SetMailProfile(nullptr, "x", &client());
  EXPECT_EQ(Simplify(host().routed()),
            (std::vector<Routed>{{kMsgNoMailUser, kToLogAndClient, {N(0)}}}));
  host().ClearRecords();
  // ... or 11539 when the current thread cannot be found.
  host().Fail(FailRule{"srv_props", 1, 1, VEL_PROP_CURRENT_THREAD});
  host().SetMailProfile(nullptr, "x", &client());
  EXPECT_EQ(Simplify(host().routed()),
            (std::vector<Routed>{{kMsgNoCurrentThread, kToLog, {T("sm_set_mailprofile"), N(0)}}}));
  host().ClearRecords();
  EXPECT_EQ(Simplify(client().Call("xp_startmail").routed),
            (std::vector<Routed>{{kMsgNoProfile, kToLogAndClient, {N(0)}}}));

  // A failed logon keeps the profile and reports without a thread.
  testcmc::Program("cmc_logon", {Action::kReturn, 19, 0, 1});
  host().ClearRecords();
  host().SetMailProfile("u2", "", &client());
  EXPECT_EQ(Simplify(host().routed()),
            (std::vector<Routed>{
                {kMsgMailRequestFailed,
                 1,
                 {T("The service, user name, or password specified were invalid, so logon cannot "
                    "be completed.")}}}));
  ExpectSucceeded(client().Call("xp_startmail"));
  EXPECT_EQ(LastCall("cmc_logon").user, "u2");
}

TEST_F(SessionTest, AnEmptyStoredUserCountsAsNoProfile) {
  host().SetMailProfile("", "", &client());
  ExpectSucceeded(client().Call("xp_stopmail"));
  EXPECT_EQ(Simplify(client().Call("xp_startmail").routed),
            (std::vector<Routed>{{kMsgNoProfile, kToLogAndClient, {N(0)}}}));
}

TEST_F(SessionTest, AProfileTooLongForItsFieldIsRefusedNotCut) {
  const std::string long_user(32, 'u');
  host().SetMailProfile(long_user.c_str(), "", &client());
  EXPECT_EQ(Simplify(host().routed()),
            (std::vector<Routed>{{kMsgBadValue, kToLogAndClient, {T("@mail_user"), N(0)}}}));
  const std::string long_password(40, 'p');
  host().ClearRecords();
  host().SetMailProfile("u", long_password.c_str(), &client());
  EXPECT_EQ(Simplify(host().routed()),
            (std::vector<Routed>{{kMsgBadValue, kToLogAndClient, {T("@mail_password"), N(0)}}}));
  EXPECT_EQ(testcmc::CallCount("cmc_logon"), 0);
  // 31 characters still fit.
  host().SetMailProfile(std::string(31, 'v').c_str(), "", &client());
  EXPECT_EQ(LastCall("cmc_logon").user, std::string(31, 'v'));
}

TEST_F(SessionTest, StopmailChecksTheSessionFirstThenItsParameters) {
  velsrv::CallResult no_session = client().Call("xp_stopmail", {Text("@x", "1")});
  ExpectFailedWithoutStatus(no_session);
  EXPECT_EQ(Simplify(no_session.routed),
            (std::vector<Routed>{{kMsgNoSession, kToLogAndClient, {T("xp_stopmail"), N(0)}}}));

  StartMail(client());
  velsrv::CallResult with_param = client().Call("xp_stopmail", {Text("@x", "1")});
  EXPECT_EQ(Simplify(with_param.routed),
            (std::vector<Routed>{{kMsgParamCount, kToLogAndClient, {T("xp_stopmail"), N(1)}}}));
  host().Fail(FailRule{"srv_numparams"});
  EXPECT_EQ(Simplify(client().Call("xp_stopmail").routed),
            (std::vector<Routed>{{kMsgNumparamsFailed, kToLog, {T("xp_stopmail"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));

  ExpectSucceeded(client().Call("xp_stopmail"));
  EXPECT_EQ(Simplify(client().Call("xp_stopmail").routed),
            (std::vector<Routed>{{kMsgNoSession, kToLogAndClient, {T("xp_stopmail"), N(0)}}}));
  EXPECT_EQ(testcmc::CallCount("cmc_logoff"), 1);
}

TEST_F(SessionTest, AFailedLogoffIsReportedAndStillEndsTheSession) {
  StartMail(client());
  testcmc::Program("cmc_logoff", {Action::kReturn, 17});
  velsrv::CallResult result = client().Call("xp_stopmail");
  ExpectFailedWithoutStatus(result);
  ASSERT_EQ(result.routed.size(), 1u);
  EXPECT_EQ(result.routed[0].msgnum, kMsgMailRequestFailed);
  // The session is forgotten whatever the provider said.
  EXPECT_EQ(Simplify(client().Call("xp_stopmail").routed)[0].msgnum, kMsgNoSession);
}

TEST_F(SessionTest, AFaultInLogoffKeepsTheSessionAndTheWorker) {
  StartMail(client());
  testcmc::Program("cmc_logoff", {Action::kFault, 0, 0, 1});
  velsrv::CallResult result = client().Call("xp_stopmail");
  EXPECT_EQ(Simplify(result.routed),
            (std::vector<Routed>{
                {kMsgMailRequestFailed, kToLogAndClient, {T("Internal Velmail error")}}}));
  // The session was not cleared, and the same worker serves the retry.
  ExpectSucceeded(client().Call("xp_stopmail"));
  std::vector<testcmc::Call> logoffs;
  for (const auto& call : testcmc::Calls()) {
    if (call.entry == "cmc_logoff") logoffs.push_back(call);
  }
  ASSERT_EQ(logoffs.size(), 2u);
  EXPECT_EQ(logoffs[0].thread, logoffs[1].thread);
  EXPECT_EQ(logoffs[0].session, logoffs[1].session);
}

TEST_F(SessionTest, AThrowingProviderGivesAnInternalError) {
  testcmc::Program("cmc_logon", {Action::kThrow, 0, 0, 1});
  EXPECT_EQ(Simplify(client().Call("xp_startmail", {Text("@mail_user", "u")}).routed),
            (std::vector<Routed>{
                {kMsgMailRequestFailed, kToLogAndClient, {T("Internal Velmail error")}}}));
  StartMail(client());
}

TEST_F(SessionTest, AnArithmeticFaultGivesAnInternalErrorAndTheWorkerServesOn) {
  testcmc::Program("cmc_logon", {Action::kDivide, 0, 0, 1});
  EXPECT_EQ(Simplify(client().Call("xp_startmail", {Text("@mail_user", "u")}).routed),
            (std::vector<Routed>{
                {kMsgMailRequestFailed, kToLogAndClient, {T("Internal Velmail error")}}}));
  StartMail(client());
  const auto calls = testcmc::Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].thread, calls[1].thread) << "the same worker made both calls";
}

TEST_F(SessionTest, AHungProviderIsCutOffAndTheNextRequestGetsAFreshWorker) {
  vel::os::SetEnvironmentVariable("VELMAIL_TIMEOUT", "150");
  testcmc::Program("cmc_logon", {Action::kHang, 0, 0, 1});
  auto begin = std::chrono::steady_clock::now();
  velsrv::CallResult result = client().Call("xp_startmail", {Text("@mail_user", "u")});
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  EXPECT_EQ(
      Simplify(result.routed),
      (std::vector<Routed>{{kMsgMailRequestFailed, kToLogAndClient, {T("Operation timed out")}}}));
  StartMail(client());
  std::vector<testcmc::Call> logons;
  for (const auto& call : testcmc::Calls()) {
    if (call.entry == "cmc_logon") logons.push_back(call);
  }
  // The hung call never finished, yet the next
  // logon reached the provider: a fresh worker made it.
  ASSERT_EQ(logons.size(), 2u);
  EXPECT_FALSE(logons[0].finished);
  EXPECT_TRUE(logons[1].finished);

  // The worker was given up, not killed: released, its call comes back.
  testcmc::Release();
  bool returned = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!returned && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    returned = testcmc::Calls().at(0).finished;
  }
  EXPECT_TRUE(returned) << "the cut-off worker was not left running";
}

// The provider hangs inside a function that may not throw, as a library
// call of a real provider does (file-system calls at logon). Each time-out
// fails its own call and nothing else: the host lives on, the workers that
// were given up end by themselves once the provider lets them go, and the
// next logon works.
TEST_F(SessionTest, TimeOutsInsideANoexceptProviderCallFailOnlyThoseCalls) {
  vel::os::SetEnvironmentVariable("VELMAIL_TIMEOUT", "50");
  testcmc::Program("cmc_logon", {Action::kHang, 0, 0, 3});
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Simplify(client().Call("xp_startmail", {Text("@mail_user", "u")}).routed),
              (std::vector<Routed>{
                  {kMsgMailRequestFailed, kToLogAndClient, {T("Operation timed out")}}}));
  }
  testcmc::Release();
  auto finished = [] {
    int n = 0;
    for (const auto& call : testcmc::Calls()) n += call.entry == "cmc_logon" && call.finished;
    return n;
  };
  for (int i = 0; i < 500 && finished() < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(finished(), 3) << "the given-up workers came back by themselves";
  // Their late logons left no session behind; a fresh worker logs on.
  EXPECT_EQ(Simplify(client().Call("xp_stopmail").routed)[0].msgnum, kMsgNoSession);
  StartMail(client());
}

TEST_F(SessionTest, ALateLogonNeverLeavesAPhantomSessionOrAnswersALaterRequest) {
  vel::os::SetEnvironmentVariable("VELMAIL_TIMEOUT", "100");
  testcmc::Program("cmc_logon", {Action::kSleep, 0, 400, 1});
  EXPECT_EQ(
      Simplify(client().Call("xp_startmail", {Text("@mail_user", "slow")}).routed),
      (std::vector<Routed>{{kMsgMailRequestFailed, kToLogAndClient, {T("Operation timed out")}}}));
  // A request made while the cut-off logon still sleeps gets its own answer.
  testcmc::Program("cmc_logon", {Action::kReturn, 19, 0, 1});
  EXPECT_EQ(Simplify(client().Call("xp_startmail", {Text("@mail_user", "u")}).routed)[0].args,
            (std::vector<velsrv::RouteArg>{
                T("The service, user name, or password specified were invalid, so logon cannot "
                  "be completed.")}));
  // Once the late logon has come back, the library still has no session.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(Simplify(client().Call("xp_stopmail").routed)[0].msgnum, kMsgNoSession);
  StartMail(client());
}

TEST_F(SessionTest, ATimeoutForgetsTheOpenSession) {
  vel::os::SetEnvironmentVariable("VELMAIL_TIMEOUT", "150");
  StartMail(client());
  testcmc::Program("cmc_logoff", {Action::kHang, 0, 0, 1});
  EXPECT_EQ(Simplify(client().Call("xp_stopmail").routed)[0].args,
            (std::vector<velsrv::RouteArg>{T("Operation timed out")}));
  EXPECT_EQ(Simplify(client().Call("xp_stopmail").routed)[0].msgnum, kMsgNoSession);
  // Logging on again reaches a fresh worker and works.
  StartMail(client());
}

TEST_F(SessionTest, TheTimeoutIsReadLikeAtoi) {
  // Set to a number followed by letters, the number counts.
  vel::os::SetEnvironmentVariable("VELMAIL_TIMEOUT", "120ms");
  testcmc::Program("cmc_logon", {Action::kHang, 0, 0, 1});
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(client().Call("xp_startmail", {Text("@mail_user", "u")}).routed.at(0).msgnum,
            kMsgMailRequestFailed);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
}

TEST_F(SessionTest, ZeroLettersOrNothingGiveTheLongDefaultTimeout) {
  for (const char* value : {"0", "abc", "", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(value == nullptr ? "(unset)" : value);
    vel::os::SetEnvironmentVariable("VELMAIL_TIMEOUT", value);
    testcmc::Program("cmc_logon", {Action::kHang, 0, 0, 1});
    velsrv::Client& c = client();
    c.Start("xp_startmail", {Text("@mail_user", "u")});
    // Far longer than any short time-out: the request is still waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(testcmc::CallCount("cmc_logon"), 1);
    bool finished = false;
    for (const auto& call : testcmc::Calls()) finished = finished || call.finished;
    EXPECT_FALSE(finished);
    testcmc::Release();
    ExpectSucceeded(c.Wait());
    DestroyHost();
    testcmc::Reset();
  }
}

TEST_F(SessionTest, TwoConcurrentStartmailsOpenOneSession) {
  testcmc::Program("cmc_logon", {Action::kSleep, 0, 300, 1});
  velsrv::Client& first = client();
  velsrv::Client& second = host().NewClient();
  host().Load(&first);
  first.Start("xp_startmail", {Text("@mail_user", "u1")});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  second.Start("xp_startmail", {Text("@mail_user", "u2")});
  velsrv::CallResult a = first.Wait();
  velsrv::CallResult b = second.Wait();
  ExpectSucceeded(a);
  ExpectFailedWithoutStatus(b);
  EXPECT_EQ(
      Simplify(b.routed),
      (std::vector<Routed>{{kMsgMailRequestFailed, kToLogAndClient, {T("Already logged on")}}}));
  EXPECT_EQ(testcmc::CallCount("cmc_logon"), 1);
}

TEST_F(SessionTest, ManyClientsAtOnceEachGetExactlyOneAnswer) {
  testcmc::RandomDelays(3);
  host().Load(&client());
  std::vector<velsrv::Client*> clients;
  for (int i = 0; i < 8; ++i) clients.push_back(&host().NewClient());
  int successes = 0, refusals = 0;
  for (int round = 0; round < 15; ++round) {
    for (size_t i = 0; i < clients.size(); ++i) {
      clients[i]->Start(
          i % 2 == 0 ? "xp_startmail" : "xp_stopmail",
          i % 2 == 0 ? std::vector<RpcParam>{Text("@mail_user", "u")} : std::vector<RpcParam>{});
    }
    for (velsrv::Client* c : clients) {
      velsrv::CallResult r = c->Wait();
      // Either a status or exactly one message: never both, never neither.
      if (r.statuses.size() == 1) {
        EXPECT_TRUE(r.routed.empty());
        ++successes;
      } else {
        EXPECT_TRUE(r.statuses.empty());
        EXPECT_EQ(r.routed.size(), 1u);
        ++refusals;
      }
    }
  }
  EXPECT_EQ(successes + refusals, 15 * 8);
  EXPECT_GT(successes, 0);
  testcmc::RandomDelays(0);
}

}  // namespace
}  // namespace veltest
