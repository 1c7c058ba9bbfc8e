// Walking, reading and deleting the inbox through xp_findnextmsg,
// xp_readmail and xp_deletemail, against the programmable provider.
#include <gtest/gtest.h>

#include "message_numbers.h"
#include "platform.h"
#include "utf8_lines.h"
#include "velmail_fixture.h"

namespace veltest {
namespace {

using testcmc::Action;
using velsrv::FailRule;
using velsrv::RpcParam;

testcmc::Message Msg(const std::string& reference, bool read = false,
                     const std::string& type = "CMC: IPM") {
  testcmc::Message m;
  m.reference = reference;
  m.read = read;
  m.type = type;
  m.subject = "subject of " + reference;
  m.text = "body of " + reference;
  m.sender = "sender";
  m.recipients = {{"to1", CMC_ROLE_TO}};
  return m;
}

RpcParam MsgIdOut(const std::string& value = "", bool null = false) {
  return RpcParam::Output("@msg_id", VEL_BINARY_TYPE, 256, value, null);
}

RpcParam Out(const std::string& name, int32_t datatype = VEL_CHAR_TYPE) {
  return RpcParam::Output(name, datatype, datatype == VEL_INT_TYPE ? 4 : 255);
}

RpcParam IntOut(const std::string& name, int32_t initial) {
  std::string bytes(reinterpret_cast<const char*>(&initial), sizeof(initial));
  return RpcParam::Output(name, VEL_INT_TYPE, 4, bytes);
}

constexpr int32_t kMsgAttachmentsLeftOut = 11551;

// A call that succeeds and tells the caller only that "@attachments" could
// not name all of the saved files, with their number and folder.
void ExpectSucceededLeavingOut(const velsrv::CallResult& r, const std::string& folder,
                               int32_t saved) {
  EXPECT_EQ(r.returned, 1);
  EXPECT_EQ(r.statuses, std::vector<int32_t>{0});
  EXPECT_EQ(
      Simplify(r.routed),
      (std::vector<Routed>{{kMsgAttachmentsLeftOut, kToLogAndClient, {T(folder), N(saved)}}}));
}

class ReadTest : public VelmailTest {
 protected:
  void SetUp() override {
    VelmailTest::SetUp();
    StartMail(client());
  }
  void TearDown() override {
    // Whatever a call did, it gave back every block it held.
    EXPECT_EQ(testcmc::OutstandingBlocks(), 0);
    EXPECT_EQ(host().outstanding_blocks(), 0);
    VelmailTest::TearDown();
  }

  velsrv::CallResult Find(std::vector<RpcParam> params) {
    return client().Call("xp_findnextmsg", std::move(params));
  }
  // The "@msg_id" xp_findnextmsg returns after this one, or "" when it fails.
  std::string Next(const std::string& after, const char* unread_only = "true") {
    velsrv::CallResult r = Find({MsgIdOut(after), Text("@unread_only", unread_only)});
    auto id = r.output("@msg_id");
    return r.returned == 1 && id ? id->value : "";
  }
};

// ------------------------------------------------------------ finding

TEST_F(ReadTest, FindReturnsTheFirstUnreadMessageForAnEmptyId) {
  testcmc::SetMailbox({Msg("m1", true), Msg("m2"), Msg("m3")});
  for (RpcParam id : {MsgIdOut(""), MsgIdOut("", true)}) {
    velsrv::CallResult r = Find({id});
    ExpectSucceeded(r);
    ASSERT_TRUE(r.output("@msg_id"));
    EXPECT_EQ(r.output("@msg_id")->value, "m2");
    // The output, then the end of the result set, then the status.
    ASSERT_EQ(r.sequence.size(), 3u);
    EXPECT_EQ(r.sequence[0].kind, velsrv::ReplyKind::kOutputs);
    EXPECT_EQ(r.sequence[1].kind, velsrv::ReplyKind::kDone);
    EXPECT_EQ(r.sequence[2].kind, velsrv::ReplyKind::kStatus);
  }
  // The whole list, every type, no seed.
  testcmc::Call list = LastCall("cmc_list");
  EXPECT_EQ(list.count_in, 0u);
  EXPECT_EQ(list.flags, 0u);
  EXPECT_EQ(list.message_type, "CMC: IPM");
  EXPECT_TRUE(list.seed_null);
}

TEST_F(ReadTest, FindWalksPastReadMessagesAndEndsAtTheLast) {
  testcmc::SetMailbox({Msg("a"), Msg("b", true), Msg("c"), Msg("d", true)});
  EXPECT_EQ(Next(""), "a");
  EXPECT_EQ(Next("a"), "c");
  // A read message's reference is found, and the next unread one follows.
  EXPECT_EQ(Next("b"), "c");
  EXPECT_EQ(Next("c"), "");
  // The last message: 11526 even though unread ones come before it.
  velsrv::CallResult last = Find({MsgIdOut("d")});
  ExpectFailedWithoutStatus(last);
  EXPECT_EQ(Simplify(last.routed), (std::vector<Routed>{{kMsgNoMessage, kToLogAndClient, {N(0)}}}));
  EXPECT_EQ(last.dones.size(), 1u);
  EXPECT_TRUE(last.output_batches.empty());
  // With unread_only false (in capitals) the next message is returned, read or not.
  EXPECT_EQ(Next("a", "FALSE"), "b");
  EXPECT_EQ(Next("", "FALSE"), "a");
}

TEST_F(ReadTest, FindFailsForAnEmptyInboxOrAnUnknownReference) {
  velsrv::CallResult empty = Find({MsgIdOut()});
  ExpectFailedWithoutStatus(empty);
  EXPECT_EQ(Simplify(empty.routed),
            (std::vector<Routed>{{kMsgNoMessage, kToLogAndClient, {N(0)}}}));
  EXPECT_EQ(empty.dones.size(), 1u);
  testcmc::SetMailbox({Msg("a")});
  EXPECT_EQ(Simplify(Find({MsgIdOut("zz")}).routed),
            (std::vector<Routed>{{kMsgNoMessage, kToLogAndClient, {N(0)}}}));
}

TEST_F(ReadTest, FindPositionalAndLotusMode) {
  testcmc::SetMailbox({Msg("x", false, "OTHER"), Msg("y")});
  velsrv::CallResult positional = Find({RpcParam::Output("", VEL_BINARY_TYPE, 256)});
  ExpectSucceeded(positional);
  EXPECT_EQ(positional.outputs().at(0).value, "y");
  DestroyHost();

  vel::os::SetEnvironmentVariable("VELMAIL_CLIENT", "LOTUS");
  StartMail(client());
  EXPECT_EQ(Next(""), "x");
  EXPECT_TRUE(LastCall("cmc_list").message_type_null);
  DestroyHost();
  // The same five letters in another case, or with a blank, are not it.
  for (const char* value : {"Lotus", "LOTUS "}) {
    vel::os::SetEnvironmentVariable("VELMAIL_CLIENT", value);
    StartMail(client());
    EXPECT_EQ(Next(""), "y");
    DestroyHost();
  }
}

TEST_F(ReadTest, FindFailuresAfterTheListStillEndTheResultSet) {
  testcmc::SetMailbox({Msg("a"), Msg("b")});
  testcmc::Program("cmc_list", {Action::kReturn, CMC_E_FAILURE, 0, 1});
  velsrv::CallResult list_failed = Find({MsgIdOut()});
  EXPECT_EQ(Simplify(list_failed.routed),
            (std::vector<Routed>{
                {kMsgMailRequestFailed,
                 9,
                 {T("There was a general failure that does not fit the description of any other "
                    "return code.")}}}));
  EXPECT_EQ(list_failed.dones.size(), 1u);

  // Describing the output item, binding it, sending it.
  host().Fail(FailRule{"srv_descfmt", 3, 1});
  EXPECT_EQ(Simplify(Find({MsgIdOut()}).routed),
            (std::vector<Routed>{{kMsgDescfmtFailed, kToLog, {T("xp_findnextmsg"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
  host().Fail(FailRule{"srv_bind", 1, 1, 1});
  velsrv::CallResult bind_failed = Find({MsgIdOut()});
  // The input bind of the getter is the first srv_bind of item 1.
  EXPECT_EQ(bind_failed.routed.at(0).msgnum, kMsgBindFailed);
  host().Fail(FailRule{"srv_bind", 2, 1, 1});
  EXPECT_EQ(Simplify(Find({MsgIdOut()}).routed),
            (std::vector<Routed>{{kMsgBindFailed, kToLog, {T("@msg_id"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
  host().Fail(FailRule{"srv_xferdata", 1, 1, VEL_SET});
  velsrv::CallResult send_failed = Find({MsgIdOut()});
  EXPECT_EQ(Simplify(send_failed.routed),
            (std::vector<Routed>{{kMsgXferdataFailed, kToLog, {T("xp_findnextmsg"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
  EXPECT_EQ(send_failed.dones.size(), 1u);
  EXPECT_TRUE(send_failed.statuses.empty());
}

TEST_F(ReadTest, FindRefusesSummariesWithoutAReferenceOrTooLongOne) {
  testcmc::Message no_ref = Msg("hidden");
  no_ref.null_reference = true;
  testcmc::SetMailbox({no_ref, Msg("b")});
  EXPECT_EQ(Simplify(Find({MsgIdOut("b")}).routed),
            (std::vector<Routed>{{kMsgNoMessage, kToLog, {N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
  // Chosen without a reference: reported the same way.
  EXPECT_EQ(Simplify(Find({MsgIdOut()}).routed),
            (std::vector<Routed>{{kMsgNoMessage, kToLog, {N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
  testcmc::SetMailbox({Msg(std::string(300, 'r'))});
  EXPECT_EQ(Simplify(Find({MsgIdOut()}).routed),
            (std::vector<Routed>{{kMsgNoMessage, kToLogAndClient, {N(0)}}}));
  // 256 bytes still fit.
  testcmc::SetMailbox({Msg(std::string(256, 'r'))});
  EXPECT_EQ(Find({MsgIdOut()}).output("@msg_id")->value, std::string(256, 'r'));
}

// ------------------------------------------------------------ reading

TEST_F(ReadTest, ReadWithoutParametersReadsAndMarksTheFirstUnreadMessage) {
  testcmc::SetMailbox({Msg("a", true), Msg("b"), Msg("c")});
  velsrv::CallResult r = client().Call("xp_readmail");
  ExpectSucceeded(r);
  EXPECT_TRUE(r.output_batches.empty());
  EXPECT_TRUE(r.dones.empty());
  EXPECT_TRUE(testcmc::Mailbox()[1].read);
  EXPECT_FALSE(testcmc::Mailbox()[2].read);
  testcmc::Call list = LastCall("cmc_list");
  EXPECT_EQ(list.count_in, 1u);
  EXPECT_EQ(list.flags, 1u);
  EXPECT_EQ(list.message_type, "CMC: IPM");
  EXPECT_EQ(LastCall("cmc_read").flags, 0u);
  // Inputs only: only the status.
  velsrv::CallResult inputs = client().Call("xp_readmail", {Text("@peek", "false")});
  ExpectSucceeded(inputs);
  EXPECT_TRUE(inputs.output_batches.empty());
  EXPECT_TRUE(testcmc::Mailbox()[2].read);
}

TEST_F(ReadTest, ReadFillsEveryOutput) {
  testcmc::Message m = Msg("m");
  m.sender = "Boss";
  m.recipients = {{"A", CMC_ROLE_TO}, {"B", CMC_ROLE_TO}, {"C", CMC_ROLE_TO}, {"D", CMC_ROLE_BCC}};
  m.subject = "Hello";
  m.text = "Short body";
  m.time.hour = 9;
  m.time.minute = 5;
  m.time.second = 7;
  m.time.month = 2;
  m.time.day = 14;
  m.time.year = 106;
  m.attachments = {{"one.txt", "/tmp/one.txt"}, {"two.txt", "/tmp/two.txt"}};
  m.type = "CMC: IPM";
  testcmc::SetMailbox({m});
  velsrv::CallResult r = client().Call(
      "xp_readmail", {MsgIdOut("m"), Out("@recipients"), Out("@sender"), Out("@date_received"),
                      Out("@subject"), Out("@cc"), Out("@bcc"), Out("@message"),
                      Out("@attachments"), Text("@suppress_attach", "false"),
                      Out("@msg_length", VEL_INT_TYPE), IntOut("@bytes_to_skip", 0), Out("@type")});
  ExpectSucceeded(r);
  EXPECT_EQ(r.output("@recipients")->value, "A;B;C");
  EXPECT_EQ(r.output("@sender")->value, "Boss");
  EXPECT_EQ(r.output("@date_received")->value, "9:5:7 3/14/106");
  EXPECT_EQ(r.output("@subject")->value, "Hello");
  EXPECT_TRUE(r.output("@cc")->is_null());
  EXPECT_EQ(r.output("@bcc")->value, "D");
  EXPECT_EQ(r.output("@message")->value, "Short body");
  EXPECT_EQ(r.output("@attachments")->value, "/tmp/one.txt;/tmp/two.txt");
  EXPECT_EQ(AsInt(*r.output("@msg_length")), 10);
  EXPECT_EQ(AsInt(*r.output("@bytes_to_skip")), 10);
  EXPECT_EQ(r.output("@type")->value, "CMC: IPM");
  // "@msg_id" goes back as it came in.
  EXPECT_EQ(r.output("@msg_id")->value, "m");
  EXPECT_EQ(r.dones.size(), 1u);
  EXPECT_EQ(r.output_batches.size(), 1u);
}

TEST_F(ReadTest, ALongBodyIsReadInPieces) {
  testcmc::Message m = Msg("m");
  for (int i = 0; i < 600; ++i) m.text += static_cast<char>('a' + i % 26);
  m.text = m.text.substr(m.text.size() - 600);
  testcmc::SetMailbox({m});
  int32_t skip = 0;
  std::string whole;
  const int32_t pieces[] = {255, 255, 90};
  for (int32_t piece : pieces) {
    velsrv::CallResult r = client().Call(
        "xp_readmail", {MsgIdOut("m"), Out("@message"), Out("@msg_length", VEL_INT_TYPE),
                        IntOut("@bytes_to_skip", skip)});
    ExpectSucceeded(r);
    EXPECT_EQ(r.output("@message")->value.size(), static_cast<size_t>(piece));
    whole += r.output("@message")->value;
    skip = AsInt(*r.output("@bytes_to_skip"));
    EXPECT_EQ(AsInt(*r.output("@msg_length")), 600);
  }
  EXPECT_EQ(skip, 600);
  EXPECT_EQ(whole, m.text);
  // At the end: no more body, the offset unchanged.
  velsrv::CallResult end =
      client().Call("xp_readmail", {MsgIdOut("m"), Out("@message"), IntOut("@bytes_to_skip", 600)});
  ExpectSucceeded(end);
  EXPECT_TRUE(end.output("@message")->is_null());
  EXPECT_EQ(AsInt(*end.output("@bytes_to_skip")), 600);
  velsrv::CallResult beyond =
      client().Call("xp_readmail", {MsgIdOut("m"), Out("@message"), IntOut("@bytes_to_skip", 601)});
  ExpectFailedWithoutStatus(beyond);
  EXPECT_EQ(Simplify(beyond.routed),
            (std::vector<Routed>{{kMsgBadValue, kToLogAndClient, {T("@bytes_to_skip"), N(0)}}}));
  EXPECT_TRUE(beyond.output_batches.empty());
}

TEST_F(ReadTest, OutputsAreCutAt255Bytes) {
  testcmc::Message m = Msg("m");
  m.subject = std::string(300, 's');
  m.sender = std::string(300, 'f');
  m.type = std::string(300, 't');
  m.recipients.clear();
  for (int i = 0; i < 40; ++i)
    m.recipients.push_back({"recipient" + std::to_string(i), CMC_ROLE_CC});
  testcmc::SetMailbox({m});
  velsrv::CallResult r = client().Call(
      "xp_readmail", {MsgIdOut("m"), Out("@subject"), Out("@sender"), Out("@cc"), Out("@type")});
  ExpectSucceeded(r);
  EXPECT_EQ(r.output("@subject")->value, std::string(255, 's'));
  EXPECT_EQ(r.output("@sender")->value, std::string(255, 'f'));
  EXPECT_EQ(r.output("@type")->value, std::string(255, 't'));
  EXPECT_EQ(r.output("@cc")->value.size(), 255u);
  EXPECT_EQ(r.output("@cc")->value.substr(0, 22), "recipient0;recipient1;");
}

// Every text output is cut before a character the 255-byte cut would
// split; a list cut so takes no later name.
TEST_F(ReadTest, OutputsAreCutOnAWholeCharacter) {
  const std::string e_acute = "\xc3\xa9", euro = "\xe2\x82\xac", smile = "\xf0\x9f\x98\x80";
  auto times = [](const std::string& text, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += text;
    return out;
  };
  testcmc::Message m = Msg("m");
  m.subject = std::string(254, 's') + e_acute + "tail";
  m.sender = std::string(253, 'f') + smile;
  m.type = times(e_acute, 200);
  m.recipients = {{m.sender, CMC_ROLE_ORIGINATOR}};
  for (int i = 0; i < 3; ++i) m.recipients.push_back({times(euro, 30), CMC_ROLE_CC});
  m.recipients.push_back({times(smile, 70), CMC_ROLE_BCC});
  for (const std::string& name : {std::string(253, 't'), e_acute + e_acute, std::string("z")})
    m.recipients.push_back({name, CMC_ROLE_TO});
  testcmc::SetMailbox({m});
  velsrv::CallResult r =
      client().Call("xp_readmail", {MsgIdOut("m"), Out("@recipients"), Out("@sender"),
                                    Out("@subject"), Out("@cc"), Out("@bcc"), Out("@type")});
  ExpectSucceeded(r);
  const std::string cc = times(euro, 30) + ";" + times(euro, 30) + ";" + times(euro, 24);
  const std::pair<const char*, std::string> expected[] = {
      {"@subject", std::string(254, 's')}, {"@sender", std::string(253, 'f')},
      {"@type", times(e_acute, 127)},      {"@cc", cc},
      {"@bcc", times(smile, 63)},          {"@recipients", std::string(253, 't') + ";"}};
  for (const auto& [name, text] : expected) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(r.output(name));
    EXPECT_EQ(r.output(name)->value, text);
    EXPECT_TRUE(ValidUtf8(r.output(name)->value));
  }
}

// A body of characters of 1 to 4 bytes read piece by piece with the
// offsets handed back: every piece ends on a whole character and is as
// long as that allows, and the pieces give back the body exactly.
TEST_F(ReadTest, ALongBodyIsReadInPiecesOfWholeCharacters) {
  testcmc::Message m = Msg("m");
  m.text.clear();
  for (int i = 0; i < 100; ++i) m.text += "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
  testcmc::SetMailbox({m});
  const auto length = static_cast<int32_t>(m.text.size());
  int32_t skip = 0;
  std::string whole;
  for (int calls = 0; skip < length && calls < 10; ++calls) {
    velsrv::CallResult r = client().Call(
        "xp_readmail", {MsgIdOut("m"), Out("@message"), Out("@msg_length", VEL_INT_TYPE),
                        IntOut("@bytes_to_skip", skip)});
    ExpectSucceeded(r);
    const std::string piece = r.output("@message")->value;
    SCOPED_TRACE("piece at " + std::to_string(skip));
    EXPECT_TRUE(ValidUtf8(piece));
    EXPECT_LE(piece.size(), 255u);
    // Shorter than 252 bytes only at the end: a character is at most 4.
    if (skip + static_cast<int32_t>(piece.size()) < length) {
      EXPECT_GE(piece.size(), 252u);
    }
    EXPECT_EQ(AsInt(*r.output("@msg_length")), length);
    skip = AsInt(*r.output("@bytes_to_skip"));
    whole += piece;
    EXPECT_EQ(skip, static_cast<int32_t>(whole.size()));
  }
  EXPECT_EQ(whole, m.text);
}

// More files saved than "@attachments" can name: the list keeps whole
// names, and the caller is told how many files were saved and in which
// folder; the call still succeeds.
TEST_F(ReadTest, FilesTheAttachmentListCannotNameAreCountedWithTheirFolder) {
  testcmc::Message many = Msg("many");
  std::string all;
  for (int i = 0; i < 40; ++i) {
    const std::string path = "/var/mail/.saved/7/attachment-" + std::to_string(100 + i) + ".txt";
    many.attachments.push_back({"attachment-" + std::to_string(100 + i) + ".txt", path});
    all += (i > 0 ? ";" : "") + path;
  }
  testcmc::Message mixed = Msg("mixed");
  mixed.attachments = {{"x", "/srv/a/b/" + std::string(200, 'x')},
                       {"y", "/srv/a/bc/y"},
                       {"z", "/srv/a/b/" + std::string(100, 'z')}};
  testcmc::Message fits = Msg("fits");
  fits.attachments = {{"a", "/x/a"}, {"b", "/x/b"}};
  testcmc::SetMailbox({many, mixed, fits});
  auto read = [&](const std::string& id, bool with_list) {
    std::vector<RpcParam> params = {MsgIdOut(id), Text("@suppress_attach", "false"),
                                    Out("@subject")};
    if (with_list) params.push_back(Out("@attachments"));
    return client().Call("xp_readmail", std::move(params));
  };

  velsrv::CallResult r = read("many", true);
  ExpectSucceededLeavingOut(r, "/var/mail/.saved/7", 40);
  const std::string listed = r.output("@attachments")->value;
  EXPECT_LE(listed.size(), 255u);
  EXPECT_EQ(all.substr(0, listed.size() + 1), listed + ";");  // the first names, whole
  ASSERT_EQ(r.messages.size(), 1u);
  EXPECT_NE(r.messages[0].text.find("40"), std::string::npos);
  EXPECT_NE(r.messages[0].text.find("/var/mail/.saved/7"), std::string::npos);

  // The folder is the one every path shares.
  ExpectSucceededLeavingOut(read("mixed", true), "/srv/a", 3);
  // Nothing to tell when the list names every file, or is not asked for.
  velsrv::CallResult whole = read("fits", true);
  ExpectSucceeded(whole);
  EXPECT_EQ(whole.output("@attachments")->value, "/x/a;/x/b");
  ExpectSucceeded(read("many", false));
}

// A list of files is cut between two names, never inside one: a cut name
// names a file that does not exist.
TEST_F(ReadTest, TheAttachmentListIsCutOnlyBetweenTwoPaths) {
  testcmc::Message m = Msg("m");
  for (char c : {'a', 'b', 'c'})
    m.attachments.push_back({std::string(1, c), "/" + std::string(99, c)});  // 100 bytes each
  testcmc::Message one_too_long = Msg("long");
  one_too_long.attachments = {{"x", "/" + std::string(255, 'x')}, {"y", "/y"}};
  testcmc::SetMailbox({m, one_too_long});
  velsrv::CallResult r = client().Call(
      "xp_readmail", {MsgIdOut("m"), Out("@attachments"), Text("@suppress_attach", "false")});
  ExpectSucceededLeavingOut(r, "/", 3);
  EXPECT_EQ(r.output("@attachments")->value,
            "/" + std::string(99, 'a') + ";/" + std::string(99, 'b'));
  // A first path that does not fit alone leaves the list empty: the list
  // is always the first paths in order.
  velsrv::CallResult none = client().Call(
      "xp_readmail", {MsgIdOut("long"), Out("@attachments"), Text("@suppress_attach", "false")});
  ExpectSucceededLeavingOut(none, "/", 2);
  EXPECT_TRUE(none.output("@attachments")->is_null());
}

TEST_F(ReadTest, MissingTextsReadAsEmpty) {
  testcmc::Message m = Msg("m");
  m.null_subject = true;
  m.null_type = true;
  m.null_text = true;
  testcmc::SetMailbox({m});
  velsrv::CallResult r = client().Call("xp_readmail", {MsgIdOut("m"), Out("@subject"), Out("@type"),
                                                       Out("@message"), IntOut("@msg_length", 77)});
  ExpectSucceeded(r);
  EXPECT_TRUE(r.output("@subject")->is_null());
  EXPECT_TRUE(r.output("@type")->is_null());
  EXPECT_TRUE(r.output("@message")->is_null());
  EXPECT_EQ(AsInt(*r.output("@msg_length")), 77);  // no body: the value came in
}

TEST_F(ReadTest, SuppressedAttachmentsComeBackNull) {
  testcmc::Message m = Msg("m");
  m.attachments = {{"a", "/x/a"}};
  testcmc::SetMailbox({m});
  velsrv::CallResult r = client().Call("xp_readmail", {MsgIdOut("m"), Out("@attachments")});
  ExpectSucceeded(r);
  EXPECT_TRUE(r.output("@attachments")->is_null());
  // Whatever the caller passed in is not carried out again.
  velsrv::CallResult in = client().Call(
      "xp_readmail", {MsgIdOut("m"), RpcParam::Output("@attachments", VEL_CHAR_TYPE, 255, "x")});
  EXPECT_TRUE(in.output("@attachments")->is_null());
}

TEST_F(ReadTest, PeekLeavesTheMessageUnread) {
  testcmc::SetMailbox({Msg("a")});
  ExpectSucceeded(client().Call("xp_readmail", {Text("@peek", "TRUE")}));
  EXPECT_EQ(LastCall("cmc_read").flags, 1u);
  EXPECT_FALSE(testcmc::Mailbox()[0].read);
  EXPECT_EQ(Next(""), "a");
}

TEST_F(ReadTest, AGivenIdReadsThatMessageWhateverItsStateAndType) {
  testcmc::SetMailbox({Msg("a"), Msg("b", true, "OTHER")});
  velsrv::CallResult r = client().Call("xp_readmail", {MsgIdOut("b"), Out("@type")});
  ExpectSucceeded(r);
  EXPECT_EQ(r.output("@type")->value, "OTHER");
  EXPECT_EQ(testcmc::CallCount("cmc_list"), 0);
  EXPECT_EQ(LastCall("cmc_read").reference, "b");
  // "@type" is still checked on the way in.
  EXPECT_EQ(Simplify(client().Call("xp_readmail", {MsgIdOut("b"), Text("@type", "OTHER")}).routed),
            (std::vector<Routed>{{kMsgBadValue, kToLogAndClient, {T("@type"), N(0)}}}));
}

TEST_F(ReadTest, UnreadFalseAndLotusListEveryMessage) {
  testcmc::SetMailbox({Msg("a", true, "OTHER"), Msg("b", true)});
  velsrv::CallResult r = client().Call("xp_readmail", {Text("@unread", "false"), Out("@subject")});
  EXPECT_EQ(r.output("@subject")->value, "subject of b");
  EXPECT_EQ(LastCall("cmc_list").flags, 0u);
  DestroyHost();
  vel::os::SetEnvironmentVariable("VELMAIL_CLIENT", "LOTUS");
  StartMail(client());
  velsrv::CallResult lotus = client().Call("xp_readmail", {Out("@subject")});
  EXPECT_EQ(lotus.output("@subject")->value, "subject of a");
  EXPECT_TRUE(LastCall("cmc_list").message_type_null);
  EXPECT_EQ(LastCall("cmc_list").flags, 0u);
}

TEST_F(ReadTest, PositionalOutputsMatchByPosition) {
  testcmc::SetMailbox({Msg("a")});
  velsrv::CallResult r = client().Call(
      "xp_readmail", {RpcParam::Binary("", ""), RpcParam::Output("", VEL_CHAR_TYPE, 255),
                      RpcParam::Output("", VEL_CHAR_TYPE, 255)});
  ExpectSucceeded(r);
  ASSERT_EQ(r.outputs().size(), 2u);
  EXPECT_EQ(r.outputs()[0].value, "to1");
  EXPECT_EQ(r.outputs()[1].value, "sender");
}

TEST_F(ReadTest, ReadFailures) {
  velsrv::CallResult empty = client().Call("xp_readmail");
  ExpectFailedWithoutStatus(empty);
  EXPECT_EQ(Simplify(empty.routed),
            (std::vector<Routed>{{kMsgNoMessage, kToLogAndClient, {N(0)}}}));

  testcmc::SetMailbox({Msg("a")});
  testcmc::Program("cmc_read", {Action::kReturn, CMC_E_INVALID_MESSAGE_REFERENCE, 0, 1});
  velsrv::CallResult read_failed = client().Call("xp_readmail", {Out("@subject")});
  ExpectFailedWithoutStatus(read_failed);
  EXPECT_EQ(read_failed.routed.at(0).args.at(0).text,
            " The specified message reference is invalid or no longer valid (for example, it has "
            "been deleted).");
  EXPECT_TRUE(read_failed.output_batches.empty());
  EXPECT_TRUE(read_failed.dones.empty());

  testcmc::Program("cmc_list", {Action::kReturn, CMC_E_INSUFFICIENT_MEMORY, 0, 1});
  EXPECT_EQ(client().Call("xp_readmail").routed.at(0).msgnum, kMsgMailRequestFailed);

  // The output step's own failures (its describing comes after the
  // getter's two).
  host().Fail(FailRule{"srv_numparams", 2, 1});
  EXPECT_EQ(Simplify(client().Call("xp_readmail", {MsgIdOut("a"), Out("@subject")}).routed),
            (std::vector<Routed>{{kMsgNumparamsFailed, kToLog, {T("xp_readmail"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
  host().ClearFailures();
  host().Fail(FailRule{"srv_descfmt", 3, 1});
  EXPECT_EQ(Simplify(client().Call("xp_readmail", {MsgIdOut("a"), Out("@subject")}).routed),
            (std::vector<Routed>{{kMsgDescfmtFailed, kToLog, {T("sm_snd_rmretprm"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
  host().ClearFailures();
  host().Fail(FailRule{"srv_xferdata", 1, 1, VEL_SET});
  EXPECT_EQ(Simplify(client().Call("xp_readmail", {MsgIdOut("a"), Out("@subject")}).routed),
            (std::vector<Routed>{{kMsgXferdataFailed, kToLog, {T("sm_snd_rmretprm"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
  host().ClearFailures();
  // Binding an output: the getter binds its two inputs first, then the
  // outputs are bound in order, "@msg_id" (passed as output) first.
  host().Fail(FailRule{"srv_bind", 4, 1});
  EXPECT_EQ(Simplify(client().Call("xp_readmail", {MsgIdOut("a"), Out("@subject")}).routed),
            (std::vector<Routed>{{kMsgBindFailed, kToLog, {T("@subject"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
  // An output the table does not know is refused on the way in already.
  EXPECT_EQ(Simplify(client().Call("xp_readmail", {Out("@nosuch")}).routed),
            (std::vector<Routed>{{kMsgUnknownParameter, kToLogAndClient, {T("@nosuch"), N(0)}}}));
}

// Every allocation of a call failed in turn: the exact report, nothing
// sent, nothing kept.
TEST_F(ReadTest, EveryAllocationFailureOfReadIsReported) {
  testcmc::SetMailbox({Msg("abc")});
  int failures = 0;
  for (int nth = 1; nth < 20; ++nth) {
    host().ClearFailures();
    host().Fail(FailRule{"srv_alloc", nth, 1});
    velsrv::CallResult r = client().Call("xp_readmail", {MsgIdOut("abc"), Out("@subject")});
    if (r.returned == 1) break;
    ++failures;
    EXPECT_TRUE(r.statuses.empty());
    EXPECT_TRUE(r.output_batches.empty());
    const int32_t descriptions = 2 * static_cast<int32_t>(sizeof(cs_datafmt));
    const std::vector<Routed> expected[] = {
        {{kMsgNoMemory, kToLog, {T("xp_readmail"), N(3 + 8)}},
         {kMsgFailed, kToLogAndClient, {N(0)}}},
        {{kMsgNoMemory, kToLog, {T("sm_snd_rmretprm"), N(descriptions)}},
         {kMsgFailed, kToLogAndClient, {N(0)}}}};
    ASSERT_LE(nth, 2);
    EXPECT_EQ(Simplify(r.routed), expected[nth - 1]);
    EXPECT_EQ(host().outstanding_blocks(), 0);
  }
  EXPECT_EQ(failures, 2);
}

// ------------------------------------------------------------ deleting

TEST_F(ReadTest, DeleteTakesTheFirstMessageOfAnyKindWithoutAnId) {
  testcmc::SetMailbox({Msg("a", true, "OTHER"), Msg("b")});
  ExpectSucceeded(client().Call("xp_deletemail"));
  ASSERT_EQ(testcmc::Mailbox().size(), 1u);
  EXPECT_EQ(testcmc::Mailbox()[0].reference, "b");
  testcmc::Call list = LastCall("cmc_list");
  EXPECT_TRUE(list.message_type_null);
  EXPECT_EQ(list.flags, 0u);
  EXPECT_EQ(list.count_in, 1u);
  EXPECT_EQ(LastCall("cmc_act_on").operation, 1u);
  // An empty id is the same as none.
  ExpectSucceeded(client().Call("xp_deletemail", {RpcParam::Binary("@msg_id", "")}));
  EXPECT_TRUE(testcmc::Mailbox().empty());
  velsrv::CallResult empty = client().Call("xp_deletemail");
  ExpectFailedWithoutStatus(empty);
  EXPECT_EQ(Simplify(empty.routed),
            (std::vector<Routed>{{kMsgNoMessage, kToLogAndClient, {N(0)}}}));
}

TEST_F(ReadTest, DeleteByIdAndItsFailures) {
  testcmc::SetMailbox({Msg("a"), Msg("b")});
  ExpectSucceeded(client().Call("xp_deletemail", {MsgIdOut("b")}));
  EXPECT_EQ(testcmc::Mailbox().size(), 1u);
  EXPECT_EQ(testcmc::CallCount("cmc_list"), 0);
  // Deleted: the walk no longer finds it.
  EXPECT_EQ(Simplify(Find({MsgIdOut("b")}).routed),
            (std::vector<Routed>{{kMsgNoMessage, kToLogAndClient, {N(0)}}}));
  velsrv::CallResult unknown = client().Call("xp_deletemail", {RpcParam::Binary("@msg_id", "zz")});
  ExpectFailedWithoutStatus(unknown);
  EXPECT_EQ(unknown.routed.at(0).msgnum, kMsgMailRequestFailed);
  EXPECT_TRUE(unknown.dones.empty());
  testcmc::Program("cmc_list", {Action::kReturn, CMC_E_FAILURE, 0, 1});
  EXPECT_EQ(client().Call("xp_deletemail").routed.at(0).msgnum, kMsgMailRequestFailed);
  host().Fail(FailRule{"srv_alloc", 1, 1});
  EXPECT_EQ(Simplify(client().Call("xp_deletemail", {RpcParam::Binary("@msg_id", "a")}).routed),
            (std::vector<Routed>{{kMsgNoMemory, kToLog, {T("xp_deletemail"), N(9)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
}

}  // namespace
}  // namespace veltest
