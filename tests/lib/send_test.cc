// xp_sendmail against scripted servers: the layout of result sets byte for
// byte, the result loop, the messages of the connection, the results file
// and the attachments, and every failure on the way.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <cerrno>
#include <climits>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "client/velct_script.h"
#include "message_numbers.h"
#include "platform.h"
#include "utf8_lines.h"
#include "velmail_fixture.h"

namespace veltest {
namespace {

using velct::Col;
using velct::Script;
using velct::Value;
using velsrv::FailRule;
using velsrv::RpcParam;

#if !defined(_WIN32)
// Lowers the size a file of this process may grow to, for as long as it
// lives: a write past it fails with "file too large", as a full disk fails.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = signal(SIGXFSZ, SIG_IGN);
    rlimit lower = saved_;
    lower.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lower);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};
#endif

class SendTest : public VelmailTest {
 protected:
  void SetUp() override {
    VelmailTest::SetUp();
    std::ofstream(dir_ / "interfaces") << "VELSERVER script SRV\n";
    velct::ClearServers();
    StartMail(client());
  }
  void TearDown() override {
    EXPECT_EQ(host().outstanding_blocks(), 0) << "a block of the server library was not freed";
    velct::ClearServers();
    velct::SetFixedTime(nullptr);
    VelmailTest::TearDown();
  }

  // Sends a query answered by the script; returns the call's result.
  velsrv::CallResult Query(const Script& script, std::vector<RpcParam> more = {}) {
    velct::RegisterServer(script);
    std::vector<RpcParam> params = {Text("@recipient", "ops"), Text("@query", "select 1")};
    for (auto& p : more) params.push_back(std::move(p));
    return client().Call("xp_sendmail", std::move(params));
  }
  // The last message sent, as the provider received it.
  testcmc::Call LastSend() { return LastCall("cmc_send"); }
  std::string Body(const Script& script, std::vector<RpcParam> more = {}) {
    velsrv::CallResult r = Query(script, std::move(more));
    ExpectSucceeded(r);
    testcmc::Call send = LastSend();
    EXPECT_FALSE(send.text_note_null);
    return send.text_note;
  }
  static std::string Slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
  }
};

// ------------------------------------------------------------ layout

TEST_F(SendTest, OneUnnamedColumnHoldingOne) {
  EXPECT_EQ(Body(Script("SRV").Rows({Col::Int("")}).Row({1}).Done(-1)), "\n \n-\n1\n");
}

TEST_F(SendTest, TwoColumnsArePaddedAndSeparated) {
  Script two =
      Script("SRV").Rows({Col::Char("a"), Col::Int("bcd")}).Row({"x", 5}).Row({"yy", 10}).Done(-1);
  EXPECT_EQ(Body(two), "\na \tbcd\n--\t---\nx \t5  \nyy\t10 \n");
  EXPECT_EQ(Body(two, {Text("@no_column_header", "true")}), "\nx \t5  \nyy\t10 \n");
  // Only the separator's first character counts.
  EXPECT_EQ(Body(two, {Text("@separator", "|+")}), "\na |bcd\n--|---\nx |5  \nyy|10 \n");
  // An empty separator means none (rather than a NUL that would end the text).
  EXPECT_EQ(Body(two, {Text("@separator", "")}), "\na bcd\n-----\nx 5  \nyy10 \n");
}

TEST_F(SendTest, AResultWithoutRowsGivesTheHeaderLines) {
  EXPECT_EQ(Body(Script("SRV").Rows({Col::Char("a"), Col::Char("bcd")}).Done(-1)),
            "\na\tbcd\n-\t---\n");
}

TEST_F(SendTest, LongLinesAreBrokenAtTheWidth) {
  Script script = Script("SRV")
                      .Rows({Col::Char("c")})
                      .Row({std::string(25, 'A')})
                      .Done(-1)
                      .Rows({Col::Char("c")})
                      .Row({std::string(10, 'B')})
                      .Done(-1)
                      .Rows({Col::Char("c")})
                      .Row({std::string(20, 'C')})
                      .Done(-1);
  EXPECT_EQ(Body(script, {Int("@width", 10), Text("@no_column_header", "true")}),
            "\n" + std::string(10, 'A') + "\n" + std::string(10, 'A') + "\n" + std::string(5, 'A') +
                "\n" + "\n" + std::string(10, 'B') + "\n" + "\n" + std::string(10, 'C') + "\n" +
                std::string(10, 'C') + "\n");
}

TEST_F(SendTest, BinaryColumnsMakeTheOutputARawAttachment) {
  std::filesystem::current_path(dir_);
  const std::string raw("\x00\x01\xff", 3);
  Script script = Script("SRV")
                      .Rows({Col::VarBinary("v", 8), Col::Char("t")})
                      .Row({Value::Bytes(raw), "ok"})
                      .Done(-1);
  velsrv::CallResult r = Query(script, {Text("@attach_result", "false"), Int("@width", 2)});
  ExpectSucceeded(r);
  testcmc::Call send = LastSend();
  EXPECT_TRUE(send.text_note_null);
  ASSERT_EQ(send.attachments.size(), 1u);
  EXPECT_EQ(send.attachments[0].first, send.attachments[0].second);  // a bare name
  EXPECT_EQ(send.attachments[0].first.substr(0, 3), "vel");
  // Not wrapped, bytes as they came.
  EXPECT_EQ(Slurp(dir_ / send.attachments[0].second),
            std::string("\nv  \tt \n---\t--\n", 15) + raw + "\tok\n");
}

TEST_F(SendTest, NoOutputFetchesButLaysNothingOut) {
  Script script = Script("SRV").Rows({Col::Char("a")}).Row({"x"}).Row({"y"}).Done(-1);
  velsrv::CallResult r = Query(script, {Text("@no_output", "true")});
  ExpectSucceeded(r);
  EXPECT_TRUE(LastSend().text_note_null);
}

TEST_F(SendTest, CharacterValuesWithNulBytesArePaddedNotCut) {
  Script script = Script("SRV")
                      .Rows({Col::Char("a"), Col::Char("b")})
                      .Row({std::string("ab\0cd", 5), "z"})
                      .Row({"second", "row"})
                      .Done(-1);
  EXPECT_EQ(Body(script), "\na     \tb  \n------\t---\nab    \tz  \nsecond\trow\n");
}

// A value longer than its column is cut at the column's width in bytes; a
// cut inside a UTF-8 character leaves blanks instead of the character's
// first bytes, and the column keeps its width.
TEST_F(SendTest, AValueCutAtItsWidthKeepsNoPartOfACharacter) {
  const std::string a(254, 'a');
  const std::string e_acute = "\xc3\xa9", euro = "\xe2\x82\xac", smile = "\xf0\x9f\x98\x80";
  const std::string latin1_e = "\xe9";  // a character of another character set
  struct Case {
    std::string c, t;              // the values: character (255), text (10)
    std::string shown_c, shown_t;  // what the layout shows
  };
  const Case cases[] = {
      // A character split after its first, second or third byte.
      {a + e_acute, "123456789" + e_acute, a + " ", "123456789 "},
      {a.substr(1) + euro, "12345678" + euro, a.substr(1) + "  ", "12345678  "},
      {a.substr(2) + smile, "1234567" + smile, a.substr(2) + "   ", "1234567   "},
      // Cut after a whole character: nothing changes.
      {a.substr(1) + e_acute + "x", "12345678" + e_acute + "x", a.substr(1) + e_acute,
       "12345678" + e_acute},
      // Not UTF-8 before the cut: the bytes stay as they were.
      {latin1_e + a.substr(1) + e_acute, latin1_e + "23456789" + e_acute,
       latin1_e + a.substr(1) + "\xc3", latin1_e + "23456789\xc3"},
      // Not cut at all: even a value's own broken end stays.
      {a + "\xc3", "123456789\xc3", a + "\xc3", "123456789\xc3"},
  };
  Script script = Script("SRV").Rows({Col::Char("c", 1000), Col::Text("t", 10)});
  std::string expected = "\n";
  for (const Case& c : cases) {
    script.Row({c.c, c.t});
    expected += c.shown_c + "\t" + c.shown_t + "\n";
  }
  EXPECT_EQ(Body(script.Done(-1), {Int("@width", 100000), Text("@no_column_header", "true")}),
            expected);
}

// The bytes of the UTF-8 character that starts line (1 for a byte that
// starts none).
size_t FirstCharacter(const std::string& line) {
  const auto lead = static_cast<unsigned char>(line.at(0));
  return lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
}

// Checks that wrapped holds the lines of original (each without its "\n")
// broken at width bytes: every line valid UTF-8 and at most width bytes, or
// one character wider than the width alone; a line broken only where the
// next character would not have fitted; nothing lost or added.
void ExpectWrapped(const std::string& wrapped, const std::vector<std::string>& original,
                   size_t width) {
  const std::vector<std::string> lines = LinesOf(wrapped);
  size_t at = 0;
  for (const std::string& expected : original) {
    std::string joined;
    do {
      ASSERT_LT(at, lines.size()) << "lines are missing";
      const std::string& line = lines[at++];
      EXPECT_TRUE(ValidUtf8(line)) << "line " << at << ": " << line;
      EXPECT_TRUE(line.size() <= width || (!line.empty() && FirstCharacter(line) == line.size()))
          << "line " << at << " is " << line.size() << " bytes: " << line;
      joined += line;
      if (joined.size() < expected.size()) {
        EXPECT_GT(line.size() + FirstCharacter(expected.substr(joined.size())), width)
            << "line " << at << " broken early: " << line;
      }
    } while (joined.size() < expected.size());
    EXPECT_EQ(joined, expected);
  }
  EXPECT_EQ(at, lines.size()) << "lines were added";
}

// Lines are broken before a character that would cross the width, in the
// body and in the attached results file alike: rows whose characters of 2,
// 3 and 4 bytes fall on every place of the boundary, at widths 1 to 8, and
// names in Cyrillic at the default width.
TEST_F(SendTest, BrokenLinesKeepWholeCharacters) {
  std::filesystem::current_path(dir_);
  auto laid_out = [&](const std::vector<std::string>& rows, std::vector<RpcParam> more,
                      bool attach) {
    Script script = Script("SRV").Rows({Col::Char("c")});
    for (const std::string& row : rows) script.Row({row});
    more.push_back(Text("@no_column_header", "true"));
    more.push_back(Text("@attach_result", attach ? "true" : "false"));
    if (!attach) return Body(script.Done(-1), std::move(more));
    ExpectSucceeded(Query(script.Done(-1), std::move(more)));
    return Slurp(dir_ / LastSend().attachments.at(0).second);
  };
  // The rows as laid out, before breaking: padded to the longest.
  auto padded = [](std::vector<std::string> rows) {
    size_t longest = 0;
    for (const std::string& row : rows) longest = std::max(longest, row.size());
    for (std::string& row : rows) row.resize(longest, ' ');
    rows.insert(rows.begin(), "");  // the leading line end
    return rows;
  };
  for (const bool attach : {false, true}) {
    SCOPED_TRACE(attach ? "results file" : "body");
    for (const std::string character : {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"}) {
      std::vector<std::string> rows;
      for (size_t ascii = 0; ascii <= 8; ++ascii) {
        rows.push_back(std::string(ascii, 'x') + character + character + character + "y");
      }
      for (int32_t width = 1; width <= 8; ++width) {
        SCOPED_TRACE(std::to_string(character.size()) + "-byte characters, width " +
                     std::to_string(width));
        ExpectWrapped(laid_out(rows, {Int("@width", width)}, attach), padded(rows),
                      static_cast<size_t>(width));
      }
    }
    const std::string name =
        "\xd0\x94\xd0\xbc\xd0\xb8\xd1\x82\xd1\x80\xd0\xb8\xd0\xb9 "
        "\xd0\xa8\xd0\xbe\xd1\x81\xd1\x82\xd0\xb0\xd0\xba\xd0\xbe\xd0\xb2\xd0\xb8\xd1\x87 ";
    const std::vector<std::string> names = {name + name + name + name, "1 " + name + name + name,
                                            "22 " + name + name + name + name,
                                            "333 " + name + name + name + name};
    ExpectWrapped(laid_out(names, {}, attach), padded(names), 80);
  }
}

TEST_F(SendTest, ManyColumnsAreLaidOut) {
  std::vector<velct::Column> columns;
  std::vector<Value> values;
  std::string header = "\n", dashes, row;
  for (int i = 0; i < 300; ++i) {
    columns.push_back(Col::Char("c"));
    values.push_back(Value("v"));
  }
  std::string expected = "\n";
  for (int line = 0; line < 3; ++line) {
    for (int i = 0; i < 300; ++i) {
      expected += line == 0 ? "c" : line == 1 ? "-" : "v";
      if (i + 1 < 300) expected += "\t";
    }
    expected += "\n";
  }
  EXPECT_EQ(Body(Script("SRV").Rows(columns).Row(values).Done(-1), {Int("@width", 100000)}),
            expected);
}

// ------------------------------------------------------------ result loop

TEST_F(SendTest, StatusesAndRowCounts) {
  Script script = Script("SRV")
                      .Rows({Col::Char("a")})
                      .Row({"x"})
                      .Done(3)
                      .Rows({Col::Char("a")})
                      .Row({"y"})
                      .Done(-1)
                      .Status(1234567)
                      .Status(INT32_MIN)
                      .Done(2)
                      .Failed()
                      .Done(5);
  EXPECT_EQ(Body(script),
            "\na\n-\nx\n\n(3 rows affected)\na\n-\ny\n"
            "\nreturn status = 1234567\nreturn status = -2147483648");
}

TEST_F(SendTest, WithoutEchoNoStatusRowCountOrMessageLines) {
  Script script = Script("SRV")
                      .ServerMsg(100, 10, "hello")
                      .Rows({Col::Char("a")})
                      .Row({"x"})
                      .Done(3)
                      .Status(5)
                      .Done(1);
  velsrv::CallResult r = Query(script, {Text("@echo_error", "false")});
  ExpectSucceeded(r);
  EXPECT_EQ(LastSend().text_note, "\na\n-\nx\n");
  // The server message still reached the caller, followed by an end of results.
  ASSERT_EQ(r.messages.size(), 1u);
  EXPECT_TRUE(r.messages[0].forwarded);
  EXPECT_EQ(r.messages[0].number, 100);
  EXPECT_EQ(r.dones.size(), 1u);
}

TEST_F(SendTest, PendingTextIsNeverDropped) {
  // A second result set before any command done, and text left pending
  // after a status result at the end of the batch.
  Script script = Script("SRV")
                      .Rows({Col::Char("a")})
                      .Row({"1"})
                      .Rows({Col::Char("b")})
                      .Row({"2"})
                      .Done(-1)
                      .Rows({Col::Char("c")})
                      .Row({"3"})
                      .Status(0)
                      .Done(1);
  EXPECT_EQ(Body(script), "\na\n-\n1\n\nb\n-\n2\n\nreturn status = 0\nc\n-\n3\n");
}

TEST_F(SendTest, MessagesAreRecordedAtTheEnd) {
  velct::ServerMessage plain;
  plain.number = 208;
  plain.severity = 16;
  plain.state = 1;
  plain.line = 4;
  plain.text = "Invalid object name";
  velct::ServerMessage named = plain;
  named.server = "SRVNAME";
  named.proc = "sp_x";
  Script script = Script("SRV")
                      .ServerMsg(plain)
                      .Rows({Col::Char("a")})
                      .Row({"x"})
                      .ClientMsg({1, 2, 3, 4}, "client text")
                      .Done(-1)
                      .ServerMsg(named)
                      .ServerMsg(5701, 10, "changed");
  const std::string blanks(33, ' ');
  EXPECT_EQ(Body(script),
            "\na\n-\nx\n"
            "\nServer Message:\nMessage number: 208," +
                blanks + "Severity 16," + blanks +
                "State 1, Line 4\nInvalid object name\n"
                "\nNexlink Message:\nMessage Number: LAYER = (1)" +
                blanks + "ORIGIN = (2) SEVERITY = (3)" + blanks +
                "NUMBER = (4)\nclient text\n"
                "\nServer Message:\nMessage number: 208," +
                blanks + "Severity 16," + blanks +
                "State 1, Line 4\nSRVNAME: Procedure 'sp_x': Invalid object name\n");
}

TEST_F(SendTest, TheMessageBufferKeepsRoomForWholeMessagesOnly) {
  // A client message record is 152 bytes besides its text.
  for (int filled : {900, 700}) {
    SCOPED_TRACE(filled);
    Script script = Script("SRV")
                        .ClientMsg({0, 0, 0, 0}, std::string(filled - 152, 'm'))
                        .ClientMsg({0, 0, 0, 9}, "z")
                        .Rows({Col::Char("a")})
                        .Done(-1);
    const std::string body = Body(script);
    const bool recorded = body.find("NUMBER = (9)\nz\n") != std::string::npos;
    EXPECT_EQ(recorded, filled == 700);
    EXPECT_NE(body.find(std::string(filled - 152, 'm')), std::string::npos);
  }
}

TEST_F(SendTest, TheDatabaseSwitchRunsFirstAndItsOutputIsDiscarded) {
  Script script = Script("SRV")
                      .Batch()
                      .ServerMsg(5701, 10, "now in sales")
                      .Status(0)
                      .Done(1)
                      .Batch()
                      .Rows({Col::Char("a")})
                      .Row({"x"})
                      .Done(-1);
  EXPECT_EQ(Body(script, {Text("@dbname", "sales")}), "\na\n-\nx\n");
  EXPECT_EQ(velct::ReceivedBatches("SRV"), (std::vector<std::string>{"use sales", "select 1"}));
  // "master" sends no switch; other spellings do, and any length fits.
  velct::ClearServers();
  Body(Script("SRV").Rows({Col::Char("a")}).Done(-1));
  EXPECT_EQ(velct::ReceivedBatches("SRV"), (std::vector<std::string>{"select 1"}));
  const std::string long_name(50, 'd');
  for (const std::string& name : {std::string("MASTER"), std::string("master "), long_name}) {
    velct::ClearServers();
    Body(Script("SRV").Batch().Done(-1).Batch().Rows({Col::Char("a")}).Done(-1),
         {Text("@dbname", name)});
    EXPECT_EQ(velct::ReceivedBatches("SRV").at(0), "use " + name);
  }
}

TEST_F(SendTest, AnUnexpectedResultTypeFailsAfterAFullTeardown) {
  velct::ResetCounts();
  velsrv::CallResult r = Query(Script("SRV").Result(4044));
  ExpectFailedWithoutStatus(r);
  EXPECT_EQ(Simplify(r.routed), (std::vector<Routed>{{kMsgUnexpectedResult, kToLog, {N(4044)}},
                                                     {kMsgFailed, kToLogAndClient, {N(0)}}}));
  EXPECT_EQ(velct::CallCount("ct_cmd_drop"), 1);
  EXPECT_EQ(velct::CallCount("ct_close"), 1);
  EXPECT_EQ(velct::CallCount("ct_con_drop"), 1);
  EXPECT_EQ(testcmc::CallCount("cmc_send"), 0);
}

TEST_F(SendTest, EveryClientLibraryFailureIsReported) {
  struct Case {
    const char* function;
    int64_t nth;
    std::vector<Routed> expected;
  };
  const std::vector<Routed> fail11544 = {{kMsgFailed, kToLogAndClient, {N(0)}}};
  auto call = [](const char* name) {
    return Routed{kMsgLibraryCallFailed, kToLog, {T(name), N(0)}};
  };
  const Case cases[] = {
      {"ct_con_alloc", 1, {call("ct_con_alloc"), {kMsgFailed, kToLogAndClient, {N(0)}}}},
      {"ct_con_props", 1, {call("ct_con_props"), {kMsgFailed, kToLogAndClient, {N(0)}}}},
      {"ct_con_props", 3, {call("ct_con_props"), {kMsgFailed, kToLogAndClient, {N(0)}}}},
      {"ct_callback", 1, {call("ct_callback"), {kMsgFailed, kToLogAndClient, {N(0)}}}},
      {"ct_connect", 1, {call("ct_connect"), {kMsgFailed, kToLogAndClient, {N(0)}}}},
      {"ct_cmd_alloc", 1, {call("ct_cmd_alloc"), {kMsgFailed, kToLogAndClient, {N(0)}}}},
      {"ct_command", 1, {call("ct_command"), {kMsgFailed, kToLogAndClient, {N(0)}}}},
      {"ct_send", 1, {call("ct_send"), {kMsgFailed, kToLogAndClient, {N(0)}}}},
      {"ct_res_info",
       1,
       {call("ct_res_info"),
        {kMsgFailed, kToLogAndClient, {N(0)}},
        {kMsgFailed, kToLogAndClient, {N(0)}}}},
      {"ct_describe",
       1,
       {call("ct_describe"),
        {kMsgFailed, kToLogAndClient, {N(0)}},
        {kMsgFailed, kToLogAndClient, {N(0)}}}},
      {"ct_bind",
       1,
       {call("ct_bind"),
        {kMsgFailed, kToLogAndClient, {N(0)}},
        {kMsgFailed, kToLogAndClient, {N(0)}}}},
      {"ct_fetch",
       2,
       {{kMsgFailed, kToLogAndClient, {N(0)}}, {kMsgFailed, kToLogAndClient, {N(0)}}}},
      {"ct_cmd_drop", 1, {call("ct_cmd_drop"), {kMsgFailed, kToLogAndClient, {N(0)}}}},
      {"ct_close", 1, {call("ct_close"), {kMsgFailed, kToLogAndClient, {N(0)}}}},
      {"ct_con_drop", 1, {call("ct_con_drop"), {kMsgFailed, kToLogAndClient, {N(0)}}}},
  };
  Script script = Script("SRV").Rows({Col::Char("a")}).Row({"x"}).Row({"y"}).Done(-1);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.function) + " #" + std::to_string(c.nth));
    velct::ClearFailures();
    velct::Fail(c.function, c.nth);
    velsrv::CallResult r = Query(script);
    ExpectFailedWithoutStatus(r);
    EXPECT_EQ(Simplify(r.routed), c.expected);
  }
  velct::ClearFailures();
  // The server name, then the message buffer.
  host().Fail(FailRule{"srv_thread_props"});
  EXPECT_EQ(Simplify(Query(script).routed),
            (std::vector<Routed>{call("srv_thread_props"), {kMsgFailed, kToLogAndClient, {N(0)}}}));
}

TEST_F(SendTest, ResultsThatCannotBeReadEndTheCallWithoutAReport) {
  // The client library's own message about it goes to the message buffer.
  velct::Fail("ct_results", 2);
  velsrv::CallResult r = Query(Script("SRV").Rows({Col::Char("a")}).Row({"x"}).Done(-1));
  ExpectFailedWithoutStatus(r);
  EXPECT_TRUE(r.routed.empty());
  EXPECT_EQ(testcmc::CallCount("cmc_send"), 0);
}

TEST_F(SendTest, ACallerThatCannotBeFoundStopsTheResults) {
  Script script = Script("SRV").Rows({Col::Char("a")}).Row({"x"}).Done(-1);
  // The first lookup of the caller is the fetch's, the second the layout's.
  host().Fail(FailRule{"srv_props", 1, 1, VEL_PROP_CURRENT_THREAD});
  EXPECT_EQ(Simplify(Query(script).routed),
            (std::vector<Routed>{{kMsgNoCurrentThread, kToLog, {T("sm__fetchandloadmb"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
  host().Fail(FailRule{"srv_props", 2, 1, VEL_PROP_CURRENT_THREAD});
  EXPECT_EQ(Simplify(Query(script).routed),
            (std::vector<Routed>{{kMsgNoCurrentThread, kToLog, {T("sm__loadmb"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
  host().Fail(FailRule{"srv_props", 1, 1, VEL_PROP_CURRENT_THREAD});
  EXPECT_EQ(Simplify(Query(Script("SRV").Status(3).Done(-1)).routed),
            (std::vector<Routed>{{kMsgNoCurrentThread, kToLog, {T("sm__processresults"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
  // A message whose caller cannot be found is neither passed on nor kept.
  host().Fail(FailRule{"srv_props", 1, 1, VEL_PROP_CURRENT_THREAD});
  velsrv::CallResult lost =
      Query(Script("SRV").ServerMsg(50, 10, "lost").Rows({Col::Char("a")}).Row({"x"}).Done(-1));
  EXPECT_EQ(lost.returned, 1);
  EXPECT_EQ(Simplify(lost.routed),
            (std::vector<Routed>{{kMsgNoCurrentThread, kToLog, {T("sm__displayerr()"), N(0)}}}));
  EXPECT_TRUE(lost.messages.empty());
  EXPECT_EQ(LastSend().text_note, "\na\n-\nx\n");
}

TEST_F(SendTest, AMessageBufferThatCannotBeFoundIsReported) {
  // Four connection properties are set before connecting; the fifth call
  // is the callback's look-up of the buffer for the login message.
  velct::Fail("ct_con_props", 5);
  velsrv::CallResult r = Query(Script("SRV")
                                   .ServerMsg(50, 10, "at login")
                                   .Batch()
                                   .Rows({Col::Char("a")})
                                   .Row({"x"})
                                   .Done(-1));
  EXPECT_EQ(Simplify(r.routed),
            (std::vector<Routed>{{kMsgLibraryCallFailed, kToLog, {T("ct_con_props()"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
  EXPECT_TRUE(r.messages.size() == 1 && !r.messages[0].forwarded);  // only the 11544
}

// The system's error codes of a failed file call: errno values on POSIX,
// GetLastError values on Windows.
#if defined(_WIN32)
constexpr int32_t kNoDirectoryError = 3;  // ERROR_PATH_NOT_FOUND
#else
constexpr int32_t kNoDirectoryError = 2;  // ENOENT
#endif

TEST_F(SendTest, AResultsFileThatCannotBeWrittenInFull) {
#if defined(_WIN32)
  GTEST_SKIP() << "a file size limit is a POSIX resource limit";
#else
  std::filesystem::current_path(dir_);
  Script script = Script("SRV").Rows({Col::Char("a")}).Row({"x"}).Done(-1);
  velsrv::CallResult r;
  {
    FileSizeLimit none(0);  // the disk is full
    r = Query(script, {Text("@attach_result", "true"), Text("@attachname", "full.txt")});
  }
  ExpectFailedWithoutStatus(r);
  EXPECT_EQ(Simplify(r.routed),
            (std::vector<Routed>{{kMsgCannotWriteFile, kToLogAndClient, {N(EFBIG)}}}));
#endif
}

TEST_F(SendTest, NoColumnsAndFetchFailuresInTheMiddle) {
  velsrv::CallResult none = Query(Script("SRV").Rows({}).Done(-1));
  EXPECT_EQ(Simplify(none.routed), (std::vector<Routed>{{kMsgNoColumns, kToLogAndClient, {N(0)}},
                                                        {kMsgFailed, kToLogAndClient, {N(0)}}}));
  velct::ResetCounts();
  velsrv::CallResult broken = Query(
      Script("SRV").Rows({Col::Char("a")}).Row({"x"}).FailCall("ct_fetch").Row({"y"}).Done(-1));
  ExpectFailedWithoutStatus(broken);
  EXPECT_EQ(velct::CallCount("ct_cancel"), 1);
  EXPECT_EQ(testcmc::CallCount("cmc_send"), 0);
}

// ------------------------------------------------------------ message and attachments

TEST_F(SendTest, RecipientsAreSplitIntoRoles) {
  ExpectSucceeded(client().Call(
      "xp_sendmail",
      {Text("@recipient", "a; b;;c;"), Text("@cc_recipient", "d"), Text("@bcc_recipient", "e"),
       Text("@message", "hi"), Text("@subject", "subj")}));
  testcmc::Call send = LastSend();
  EXPECT_EQ(send.recipients, (std::vector<std::pair<std::string, uint32_t>>{
                                 {"a", 0}, {" b", 0}, {"c", 0}, {"d", 1}, {"e", 2}}));
  EXPECT_EQ(send.recipient_flags, (std::vector<uint32_t>{0, 0, 0, 0, 0x80000000u}));
  EXPECT_EQ(send.text_note, "hi");
  EXPECT_EQ(send.subject, "subj");
  EXPECT_EQ(send.send_type, "CMC: IPM");
  // A list that begins with ';' fails without a message, in any of the three.
  for (const char* name : {"@recipient", "@cc_recipient", "@bcc_recipient"}) {
    std::vector<RpcParam> params = {Text("@recipient", "a")};
    if (std::string(name) == "@recipient") params.clear();
    params.push_back(Text(name, ";x"));
    velsrv::CallResult r = client().Call("xp_sendmail", params);
    ExpectFailedWithoutStatus(r);
    EXPECT_TRUE(r.routed.empty());
  }
}

TEST_F(SendTest, AMessageBodyThatCannotBeAllocatedReportsItsLength) {
  host().Fail(FailRule{"srv_alloc", 1, 1});
  velsrv::CallResult r =
      client().Call("xp_sendmail", {Text("@recipient", "a"), Text("@message", "twelve chars")});
  ExpectFailedWithoutStatus(r);
  EXPECT_EQ(Simplify(r.routed),
            (std::vector<Routed>{{kMsgNoMemory, kToLog, {T("xp_sendmail"), N(12)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
}

TEST_F(SendTest, TheDefaultSubjectAndNoBody) {
  ExpectSucceeded(client().Call("xp_sendmail", {Text("@recipient", "a")}));
  EXPECT_EQ(LastSend().subject, "Velmar VDB Server Message");
  EXPECT_TRUE(LastSend().text_note_null);
}

TEST_F(SendTest, ResultsFileAndIncludeFiles) {
  std::filesystem::current_path(dir_);
  std::filesystem::create_directories(dir_ / "sub");
  std::ofstream(dir_ / "sub" / "one.txt") << "1";
  std::ofstream(dir_ / "two.txt") << "2";
  Script script = Script("SRV").Rows({Col::Char("a")}).Row({"x"}).Done(-1);
  velsrv::CallResult r = Query(
      script, {Text("@attach_result", "true"), Text("@attachname", "sub/out.txt"),
               Text("@include_file", " sub/one.txt , two.txt,,"), Text("@include_query", "true")});
  ExpectSucceeded(r);
  testcmc::Call send = LastSend();
  EXPECT_TRUE(send.text_note_null);
  EXPECT_EQ(send.attachments,
            (std::vector<std::pair<std::string, std::string>>{
                {"out.txt", "sub/out.txt"}, {"one.txt", "sub/one.txt"}, {"two.txt", "two.txt"}}));
  EXPECT_EQ(Slurp(dir_ / "sub" / "out.txt"), "\na\n-\nx\n\nThe Queries Submitted were:\nselect 1");
#if !defined(_WIN32)  // Windows gives files the security of their directory
  EXPECT_EQ(
      std::filesystem::status(dir_ / "sub" / "out.txt").permissions() & std::filesystem::perms::all,
      std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
#endif
  // A missing include file.
  velsrv::CallResult missing = client().Call(
      "xp_sendmail", {Text("@recipient", "a"), Text("@include_file", "two.txt, nothere")});
  ExpectFailedWithoutStatus(missing);
  EXPECT_EQ(
      Simplify(missing.routed),
      (std::vector<Routed>{{kMsgIncludeFile,
                            kToLogAndClient,
                            {T(std::filesystem::current_path().string() + "/nothere"), N(2)}}}));
  velsrv::CallResult blank =
      client().Call("xp_sendmail", {Text("@recipient", "a"), Text("@include_file", "   ")});
  EXPECT_EQ(blank.routed.at(0).args.at(0).text, std::filesystem::current_path().string() + "/");
  // A missing file named by its absolute path is named alone.
  const std::string absolute = (dir_ / "sub" / "gone.txt").string();
  velsrv::CallResult gone = client().Call(
      "xp_sendmail", {Text("@recipient", "a"), Text("@include_file", "two.txt, " + absolute)});
  EXPECT_EQ(Simplify(gone.routed),
            (std::vector<Routed>{{kMsgIncludeFile, kToLogAndClient, {T(absolute), N(2)}}}));
}

TEST_F(SendTest, GeneratedResultsFileNamesFollowTheSecond) {
  std::filesystem::current_path(dir_);
  cs_daterec fixed{};
  fixed.second = 7;
  velct::SetFixedTime(&fixed);
  Script script = Script("SRV").Rows({Col::Char("a")}).Row({"x"}).Done(-1);
  ExpectSucceeded(Query(script, {Text("@attach_result", "true")}));
  // The generator seeded with 7 draws 61 first.
  EXPECT_EQ(LastSend().attachments.at(0).second, "vel00061.txt");
  EXPECT_TRUE(std::filesystem::exists(dir_ / "vel00061.txt"));
  // The same second draws the same name, which is taken now: the next draw
  // names the file.
  ExpectSucceeded(Query(script, {Text("@attach_result", "true")}));
  EXPECT_EQ(LastSend().attachments.at(0).second, "vel17422.txt");
}

// Another process on the same directory drew the same name first: its
// file is never written over or emptied, and this call takes the next one.
TEST_F(SendTest, AGeneratedNameTakenByAnotherProcessIsNeverReused) {
  std::filesystem::current_path(dir_);
  std::ofstream(dir_ / "vel00061.txt") << "another call's result";
  cs_daterec fixed{};
  fixed.second = 7;
  velct::SetFixedTime(&fixed);
  Script script = Script("SRV").Rows({Col::Char("a")}).Row({"x"}).Done(-1);
  ExpectSucceeded(Query(script, {Text("@attach_result", "true")}));
  EXPECT_EQ(LastSend().attachments.at(0).second, "vel17422.txt");
  EXPECT_EQ(Slurp(dir_ / "vel00061.txt"), "another call's result");
  EXPECT_EQ(Slurp(dir_ / "vel17422.txt"), "\na\n-\nx\n");
#if !defined(_WIN32)  // no symbolic links under wine
  // A link lying in wait under a generated name is not followed either.
  std::ofstream(dir_ / "target.txt") << "kept";
  std::filesystem::create_symlink(dir_ / "target.txt", dir_ / "vel00061.txt.lnk");
  std::filesystem::remove(dir_ / "vel00061.txt");
  std::filesystem::rename(dir_ / "vel00061.txt.lnk", dir_ / "vel00061.txt");
  std::filesystem::remove(dir_ / "vel17422.txt");
  ExpectSucceeded(Query(script, {Text("@attach_result", "true")}));
  EXPECT_EQ(LastSend().attachments.at(0).second, "vel17422.txt");
  EXPECT_EQ(Slurp(dir_ / "target.txt"), "kept");
#endif
}

// A caller names the results file: a directory part below the current
// directory works, but nothing may reach outside it or through a link, so
// no caller can write over a file the host can write (the mail store's
// account file lies at ../mail/passwd from the host's directory).
TEST_F(SendTest, ACallerChosenResultsFileStaysInTheCurrentDirectory) {
  std::filesystem::create_directories(dir_ / "work" / "sub");
  std::filesystem::create_directories(dir_ / "mail");
  std::ofstream(dir_ / "mail" / "passwd", std::ios::binary) << "ops:secret\n";
  std::filesystem::current_path(dir_ / "work");
  Script script = Script("SRV").Rows({Col::Char("line")}).Row({"ops:taken"}).Done(-1);
  for (const std::string& name :
       {std::string("../mail/passwd"), std::string("sub/../../mail/passwd"),
        std::string("sub\\..\\..\\mail\\passwd"), std::string(".."),
        (dir_ / "mail" / "passwd").string(), std::string("\\mail\\passwd"),
        std::string("C:passwd")}) {
    SCOPED_TRACE(name);
    velsrv::CallResult r =
        Query(script, {Text("@attach_result", "true"), Text("@attachname", name)});
    ExpectFailedWithoutStatus(r);
    EXPECT_EQ(Simplify(r.routed),
              (std::vector<Routed>{{kMsgBadValue, kToLogAndClient, {T("@attachname"), N(0)}}}));
  }
  EXPECT_EQ(Slurp(dir_ / "mail" / "passwd"), "ops:secret\n");
  EXPECT_EQ(testcmc::CallCount("cmc_send"), 0);

#if !defined(_WIN32)  // no symbolic links under wine
  // A link in the current directory is not followed.
  std::filesystem::create_symlink(dir_ / "mail" / "passwd", dir_ / "work" / "sub" / "link.txt");
  velsrv::CallResult linked =
      Query(script, {Text("@attach_result", "true"), Text("@attachname", "sub/link.txt")});
  EXPECT_EQ(Simplify(linked.routed),
            (std::vector<Routed>{{kMsgCannotCreateFile, kToLogAndClient, {N(ELOOP)}}}));
  EXPECT_EQ(Slurp(dir_ / "mail" / "passwd"), "ops:secret\n");
#endif

  // Names that merely contain dots are names like any other.
  ExpectSucceeded(Query(script, {Text("@attach_result", "true"), Text("@attachname", "sub/..x")}));
  EXPECT_EQ(Slurp(dir_ / "work" / "sub" / "..x"), "\nline     \n---------\nops:taken\n");
}

TEST_F(SendTest, ConcurrentCallsNeverShareAResultsFile) {
  std::filesystem::current_path(dir_);
  cs_daterec fixed{};
  fixed.second = 7;
  velct::SetFixedTime(&fixed);
  velct::RegisterServer(Script("SRV").Rows({Col::Char("a")}).Row({"x"}).Done(-1));
  testcmc::Program("cmc_send", {testcmc::Action::kSleep, 0, 300, 1});
  velsrv::Client& other = host().NewClient();
  std::vector<RpcParam> params = {Text("@recipient", "ops"), Text("@query", "q"),
                                  Text("@attach_result", "true")};
  client().Start("xp_sendmail", params);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  other.Start("xp_sendmail", params);
  ExpectSucceeded(client().Wait());
  ExpectSucceeded(other.Wait());
  std::vector<std::string> names;
  for (const auto& call : testcmc::Calls()) {
    if (call.entry == "cmc_send") names.push_back(call.attachments.at(0).second);
  }
  ASSERT_EQ(names.size(), 2u);
  EXPECT_NE(names[0], names[1]);
}

TEST_F(SendTest, ResultsFileFailures) {
  Script script = Script("SRV").Rows({Col::Char("a")}).Row({"x"}).Done(-1);
  std::filesystem::current_path(dir_);
  velsrv::CallResult r =
      Query(script, {Text("@attach_result", "true"), Text("@attachname", "no/such/dir.txt")});
  ExpectFailedWithoutStatus(r);
  EXPECT_EQ(Simplify(r.routed),
            (std::vector<Routed>{{kMsgCannotCreateFile, kToLogAndClient, {N(kNoDirectoryError)}}}));
  velct::Fail("cs_time");
  std::filesystem::current_path(dir_);
  EXPECT_EQ(Simplify(Query(script, {Text("@attach_result", "true")}).routed),
            (std::vector<Routed>{{kMsgLibraryCallFailed, kToLog, {T("cs_time"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
}

TEST_F(SendTest, ASendThatTimesOutLeavesTheResultsFile) {
  DestroyHost();
  vel::os::SetEnvironmentVariable("VELMAIL_TIMEOUT", "150");
  StartMail(client());
  testcmc::Program("cmc_send", {testcmc::Action::kHang, 0, 0, 1});
  std::filesystem::current_path(dir_);
  Script script = Script("SRV").Rows({Col::Char("a")}).Row({"x"}).Done(-1);
  velsrv::CallResult r =
      Query(script, {Text("@attach_result", "true"), Text("@attachname", "kept.txt")});
  EXPECT_EQ(
      Simplify(r.routed),
      (std::vector<Routed>{{kMsgMailRequestFailed, kToLogAndClient, {T("Operation timed out")}}}));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "kept.txt"));
}

// Every allocation of one xp_sendmail with a query fails in turn: each
// gives its report, nothing is sent, nothing is kept, nothing crashes.
TEST_F(SendTest, EveryAllocationFailureIsReportedAndNothingLeaks) {
  std::filesystem::current_path(dir_);
  std::ofstream(dir_ / "inc.txt") << "i";
  const std::vector<RpcParam> params = {Text("@recipient", "a;b"), Text("@query", "q"),
                                        Text("@include_file", "inc.txt"),
                                        Text("@include_query", "true"), Text("@dbname", "db")};
  for (const char* function : {"srv_alloc", "srv_realloc"}) {
    int failed_calls = 0;
    for (int nth = 1; nth < 100; ++nth) {
      SCOPED_TRACE(std::string(function) + " #" + std::to_string(nth));
      velct::ClearServers();
      velct::RegisterServer(Script("SRV")
                                .Batch()
                                .Status(0)
                                .Done(-1)
                                .Batch()
                                .ServerMsg(1, 10, "note")
                                .Rows({Col::Char("a"), Col::Image("b", 16)})
                                .Row({"x", Value::Bytes("yy")})
                                .Done(2)
                                .Status(1)
                                .Done(-1));
      host().ClearFailures();
      host().Fail(FailRule{function, nth, 1});
      const int64_t sends = testcmc::CallCount("cmc_send");
      velsrv::CallResult r = client().Call("xp_sendmail", params);
      EXPECT_EQ(host().outstanding_blocks(), 0);
      if (r.returned == 1) break;
      ++failed_calls;
      EXPECT_TRUE(r.statuses.empty());
      EXPECT_EQ(testcmc::CallCount("cmc_send"), sends);
      ASSERT_FALSE(r.routed.empty());
      // The allocation's own report (the reporter and the size asked for),
      // then the general failure.
      EXPECT_EQ(r.routed.back().msgnum, kMsgFailed);
      if (r.routed.size() > 1) {
        const velsrv::RoutedMessage& first = r.routed.front();
        EXPECT_EQ(first.msgnum, kMsgNoMemory);
        ASSERT_EQ(first.args.size(), 2u);
        EXPECT_TRUE(first.args[0].is_text);
        EXPECT_GT(first.args[1].number, 0);
      }
    }
    EXPECT_GT(failed_calls, function == std::string("srv_alloc") ? 8 : 2);
  }
}

}  // namespace
}  // namespace veltest
