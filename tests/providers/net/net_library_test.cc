// The library end to end on the network provider: xp_sendmail with a query
// result attached reaches two users' Dovecot mailboxes through Postfix
// (checked there by Python's own imaplib and email), and xp_findnextmsg,
// xp_readmail and xp_deletemail walk and delete it over IMAP. The servers
// are started for the test on loopback ports and stopped by their pids.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "message_numbers.h"
#include "platform.h"
#include "velmail_fixture.h"

namespace veltest {
namespace {

using velsrv::RpcParam;

const std::string kScripts = VELNET_TEST_SCRIPTS;
const std::string kPython = VELNET_PYTHON;

std::string Value(const velsrv::CallResult& r, const std::string& name) {
  auto value = r.output(name);
  return value ? value->value : "<not sent>";
}

std::string Slurp(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int Shell(const std::string& command) { return std::system(command.c_str()); }

class NetLibraryTest : public VelmailTest {
 protected:
  void SetUp() override {
    VelmailTest::SetUp();
    const std::string why_file = (dir_ / "missing.txt").string();
    if (Shell(kPython + " " + kScripts + "/mail_servers.py missing > " + why_file) != 0) {
      std::ifstream in(why_file);
      std::string why;
      std::getline(in, why);
      if (std::getenv("CI") != nullptr) FAIL() << "CI must run this test: " << why;
      GTEST_SKIP() << why;
    }
    servers_ = dir_ / "servers";
    std::filesystem::create_directories(servers_);
    for (std::filesystem::path p = servers_; p != p.root_path(); p = p.parent_path())
      if (p.string().rfind(std::filesystem::temp_directory_path().string(), 0) == 0)
        std::filesystem::permissions(p, std::filesystem::perms::others_exec,
                                     std::filesystem::perm_options::add);
    ASSERT_EQ(Shell(kPython + " " + kScripts + "/mail_servers.py start " + servers_.string() +
                    " ops:ops-secret dba:dba-secret"),
              0);
    started_ = true;
    std::ifstream env(servers_ / "servers.env");
    for (std::string line; std::getline(env, line);)
      env_[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);

    std::ofstream(dir_ / "velnet.ini")
        << "[imap]\nurl = imap://127.0.0.1:" << env_["IMAP_PORT"] << "/INBOX\n"
        << "[smtp]\nservers = smtp://127.0.0.1:" << env_["SMTP_PORT"] << "\n"
        << "[tls]\nmode = required\nca_file = " << env_["CA_FILE"] << "\n"
        << "[mail]\ndomain = " << env_["DOMAIN"] << "\n"
        << "[delivery]\nspool = " << (dir_ / "spool").string() << "\nconnect_timeout = 8\n"
        << "drain_seconds = 20\nlog = " << (dir_ / "velnet.log").string() << "\n";
    vel::os::SetEnvironmentVariable("VELNET_CONFIG", (dir_ / "velnet.ini").c_str());
    WriteWinIni("libvelnet.so");
  }
  void TearDown() override {
    DestroyHost();
    if (started_) Shell(kPython + " " + kScripts + "/mail_servers.py stop " + servers_.string());
    VelmailTest::TearDown();
  }

  std::string FindNext(const std::string& after) {
    velsrv::CallResult r =
        client().Call("xp_findnextmsg", {RpcParam::Output("@msg_id", VEL_BINARY_TYPE, 256, after)});
    auto id = r.output("@msg_id");
    return r.returned == 1 && id ? id->value : "";
  }

  std::filesystem::path servers_;
  std::map<std::string, std::string> env_;
  bool started_ = false;
};

TEST_F(NetLibraryTest, QueryResultReachesTwoMailboxesAndIsWalkedAndDeleted) {
  ExpectSucceeded(client().Call("xp_startmail",
                                {Text("@mail_user", "ops"), Text("@mail_password", "ops-secret")}));
  std::filesystem::current_path(dir_);
  std::ofstream(dir_ / "interfaces") << "VELSERVER sqlite data.db\n";
  velsrv::CallResult sent = client().Call(
      "xp_sendmail", {Text("@recipient", "ops;dba"), Text("@subject", "Free space"),
                      Text("@query",
                           "create table disks(name text, free integer);"
                           "insert into disks values ('c', 10), ('d', 20);"
                           "select * from disks"),
                      Text("@attach_result", "true"), Text("@attachname", "disks.txt")});
  ExpectSucceeded(sent);
  for (const Routed& routed : Simplify(sent.routed)) ADD_FAILURE() << routed;
  const std::string domain = env_["DOMAIN"];
  const std::string to = "ops@" + domain + ",dba@" + domain;
  for (const char* user : {"ops", "dba"}) {
    EXPECT_EQ(Shell(kPython + " " + kScripts + "/mailbox_check.py " + servers_.string() + " " +
                    user + " " + user + "-secret 'Free space' ops@" + domain + " " + to + " " +
                    (dir_ / "disks.txt").string()),
              0)
        << user << "\n"
        << Slurp(dir_ / "velnet.log");
  }

  // The walk over IMAP: found, peeked (still unread), read, deleted.
  const std::string id = FindNext("");
  ASSERT_FALSE(id.empty());
  velsrv::CallResult r =
      client().Call("xp_readmail", {RpcParam::Binary("@msg_id", id),
                                    RpcParam::Output("@subject", VEL_CHAR_TYPE, 255),
                                    RpcParam::Output("@sender", VEL_CHAR_TYPE, 255),
                                    RpcParam::Output("@attachments", VEL_CHAR_TYPE, 255),
                                    Text("@suppress_attach", "false"), Text("@peek", "true")});
  ExpectSucceeded(r);
  EXPECT_EQ(Value(r, "@subject"), "Free space");
  EXPECT_EQ(Value(r, "@sender"), "ops@" + domain);
  EXPECT_NE(Value(r, "@attachments").find("disks.txt"), std::string::npos)
      << Value(r, "@attachments");
  EXPECT_EQ(FindNext(""), id);  // a peek leaves it unread
  ExpectSucceeded(client().Call("xp_readmail", {RpcParam::Binary("@msg_id", id)}));
  ExpectSucceeded(client().Call("xp_deletemail", {RpcParam::Binary("@msg_id", id)}));
  EXPECT_EQ(FindNext(""), "");
  velsrv::CallResult gone =
      client().Call("xp_findnextmsg", {RpcParam::Output("@msg_id", VEL_BINARY_TYPE, 256, id)});
  EXPECT_EQ(Simplify(gone.routed), (std::vector<Routed>{{kMsgNoMessage, kToLogAndClient, {N(0)}}}));
  ExpectSucceeded(client().Call("xp_stopmail"));
}

// A recipient the server refuses for good: the sender finds the report in
// its own mailbox, through the library. Two more mails go with it, so that
// the delivery's sessions run at once (under the thread sanitizer too).
TEST_F(NetLibraryTest, AFailedRecipientIsReportedInTheSendersMailbox) {
  ExpectSucceeded(client().Call("xp_startmail",
                                {Text("@mail_user", "ops"), Text("@mail_password", "ops-secret")}));
  ExpectSucceeded(client().Call(
      "xp_sendmail", {Text("@recipient", "dba;refused"), Text("@subject", "Quarterly figures")}));
  for (const char* subject : {"Weekly figures", "Daily figures"})
    ExpectSucceeded(
        client().Call("xp_sendmail", {Text("@recipient", "dba"), Text("@subject", subject)}));
  std::string id;
  for (int i = 0; i < 200 && id.empty(); ++i) {
    id = FindNext("");
    if (id.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_FALSE(id.empty()) << Slurp(dir_ / "velnet.log");
  velsrv::CallResult r =
      client().Call("xp_readmail", {RpcParam::Binary("@msg_id", id),
                                    RpcParam::Output("@subject", VEL_CHAR_TYPE, 255),
                                    RpcParam::Output("@sender", VEL_CHAR_TYPE, 255),
                                    RpcParam::Output("@message", VEL_CHAR_TYPE, 255)});
  ExpectSucceeded(r);
  const std::string domain = env_["DOMAIN"];
  EXPECT_EQ(Value(r, "@subject"), "Undelivered mail: returned to sender");
  EXPECT_EQ(Value(r, "@sender"), "Mail Delivery System");
  const std::string text = Value(r, "@message");
  EXPECT_NE(text.find("refused@" + domain + ": 554 5.1.1"), std::string::npos) << text;
  EXPECT_EQ(text.find("dba@" + domain + ":"), std::string::npos) << text;
  ExpectSucceeded(client().Call("xp_stopmail"));
  // One report, for the one failure; dba got each mail once.
  const std::string sent = Slurp(dir_ / "spool" / "sent.log");
  size_t to_dba = 0;
  for (size_t at = 0; (at = sent.find(" to=dba@" + domain + " ", at)) != std::string::npos; ++at)
    ++to_dba;
  EXPECT_EQ(to_dba, 3u) << sent;
  size_t failed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_ / "spool" / "failed"))
    failed += entry.path().extension() == ".msg";
  EXPECT_EQ(failed, 1u);
}

}  // namespace
}  // namespace veltest
