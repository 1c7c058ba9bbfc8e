// What a failed mail request routes: the text of every CMC return code and
// of the internal results, exactly.
#include <gtest/gtest.h>

#include <map>

#include "message_numbers.h"
#include "velmail_fixture.h"

namespace veltest {
namespace {

class ErrorsTest : public VelmailTest {};

// The return-code texts, written out independently of the library's table.
const std::map<uint32_t, std::string>& ExpectedTexts() {
  static const std::map<uint32_t, std::string> texts = {
      {37, "The user is not logged on and the CMC_LOGON_UI_ALLOWED flag is not set."},
      {36, "The operation was canceled by the user."},
      {32, "The data extension requested is not supported."},
      {27, "The current implementation cannot support the number of recipients specified."},
      {25, "The size of the text string passed to the current implementation is too large."},
      {23, "One or more of the specified recipients were not found."},
      {18, "The specified user-interface identifier is invalid or no longer valid."},
      {17,
       "The specified session identifier is invalid or no longer valid (for example, after "
       "logging off)."},
      {14, "One of the parameters in the message was invalid."},
      {12, "A flag set using a flags parameter was invalid."},
      {2, "The specified attachment was not found as specified."},
      {1, "The recipient name is ambiguous. Multiple matches were found."},
      {35,
       "The version specified in the call cannot be supported by the current "
       "implementation."},
      {34, "The function extension requested is not supported."},
      {31, "The character set requested is not supported."},
      {24, "The service requested is unavailable."},
      {22, "A password is required on this message service."},
      {19,
       "The service, user name, or password specified were invalid, so logon cannot be "
       "completed."},
      {9, "Insufficient memory was available to complete the requested operation."},
      {8,
       "There was a general failure that does not fit the description of any other return "
       "code."},
      {6, "This implementation does not support the counted-string type."},
      {33, " The flag requested is not supported."},
      {26, " The current implementation cannot support the number of files specified."},
      {16, " A function parameter was invalid. "},
      {15,
       " The specified message reference is invalid or no longer valid (for example, it has "
       "been deleted)."},
      {7,
       " Insufficient disk space was available to complete the requested operation (this can "
       "refer to local or shared disk space)."},
      {3,
       " The attachment file was found, but could not be opened or the attachment file could "
       "not be created."},
      {4, " The attachment file was found and opened, but there was an error reading it."},
      {5, " The attachment file was created successfully, but there was an error writing it."},
  };
  return texts;
}

TEST_F(ErrorsTest, EveryCmcCodeRoutesItsTextOrNothing) {
  ASSERT_EQ(ExpectedTexts().size(), 29u);
  const uint32_t codes_without_text[] = {10, 11, 13, 20, 21, 28, 29, 30, 38, 99, 0xFFFFFFFBu};
  for (const auto& [code, text] : ExpectedTexts()) {
    SCOPED_TRACE(code);
    testcmc::Program("cmc_logon", {testcmc::Action::kReturn, code});
    velsrv::CallResult result = client().Call("xp_startmail", {Text("@mail_user", "u")});
    ExpectFailedWithoutStatus(result);
    EXPECT_EQ(Simplify(result.routed),
              (std::vector<Routed>{{kMsgMailRequestFailed, kToLogAndClient, {T(text)}}}));
  }
  for (uint32_t code : codes_without_text) {
    SCOPED_TRACE(code);
    testcmc::Program("cmc_logon", {testcmc::Action::kReturn, code});
    velsrv::CallResult result = client().Call("xp_startmail", {Text("@mail_user", "u")});
    // The call still fails, but the client is told nothing.
    ExpectFailedWithoutStatus(result);
    EXPECT_TRUE(result.routed.empty());
    EXPECT_TRUE(result.messages.empty());
  }
}

TEST_F(ErrorsTest, InternalResultsRouteTheirOwnTexts) {
  testcmc::Program("cmc_logon", {testcmc::Action::kFault});
  velsrv::CallResult result = client().Call("xp_startmail", {Text("@mail_user", "u")});
  EXPECT_EQ(Simplify(result.routed),
            (std::vector<Routed>{
                {kMsgMailRequestFailed, kToLogAndClient, {T("Internal Velmail error")}}}));

  testcmc::Program("cmc_logon", {testcmc::Action::kNormal});
  StartMail(client());
  // A second logon asked of the worker while the session is open.
  host().SetMailProfile("other", "", &client());
  EXPECT_EQ(Simplify(host().routed()).back(),
            (Routed{kMsgMailRequestFailed, kToLog, {T("Already logged on")}}));
}

TEST_F(ErrorsTest, RoutedMessagesReachTheClientWithAReadableText) {
  velsrv::CallResult result = client().Call("xp_stopmail");
  ASSERT_EQ(result.messages.size(), 1u);
  EXPECT_EQ(result.messages[0].number, kMsgNoSession);
  EXPECT_NE(result.messages[0].text.find("xp_stopmail"), std::string::npos)
      << result.messages[0].text;
  // Routing 9 also writes the host log.
  EXPECT_EQ(result.log.size(), 1u);
}

}  // namespace
}  // namespace veltest
