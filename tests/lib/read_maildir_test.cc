// The reading procedures end to end on the maildir provider: mail sent with
// xp_sendmail, and mail another program delivered, is found, read in
// pieces, and deleted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "message_numbers.h"
#include "platform.h"
#include "velmail_fixture.h"

namespace veltest {
namespace {

using velsrv::RpcParam;

// An output's value, or a marker when the call did not send it.
std::string Value(const velsrv::CallResult& r, const std::string& name) {
  auto value = r.output(name);
  return value ? value->value : "<not sent>";
}

class MaildirReadTest : public VelmailTest {
 protected:
  void SetUp() override {
    VelmailTest::SetUp();
    root_ = dir_ / "mail";
    ASSERT_NO_FATAL_FAILURE(UseMailRoot(root_));
    WriteWinIni("libvelcmc.so");
    ExpectSucceeded(client().Call("xp_startmail",
                                  {Text("@mail_user", "ops"), Text("@mail_password", "secret")}));
  }

  // Makes root, with the accounts ops and dba, the mail root of the next
  // logon.
  void UseMailRoot(const std::filesystem::path& root) {
    std::filesystem::create_directories(root);
    vel::os::SetEnvironmentVariable("VELCMC_ROOT", root.c_str());
    const std::string passwd = LibDir() + "/../bin/velcmc-passwd";
    for (const char* account : {"ops", "dba"}) {
      const std::string command =
          "echo secret | " + passwd + " " + root.string() + " " + account + " > /dev/null";
      ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
  }

  std::string FindNext(const std::string& after) {
    velsrv::CallResult r =
        client().Call("xp_findnextmsg", {RpcParam::Output("@msg_id", VEL_BINARY_TYPE, 256, after)});
    auto id = r.output("@msg_id");
    return r.returned == 1 && id ? id->value : "";
  }

  std::filesystem::path root_;
};

TEST_F(MaildirReadTest, SentMailIsFoundReadInPiecesAndDeleted) {
  // A body longer than one output value: three rows of 199 characters.
  std::ofstream(dir_ / "interfaces") << "VELSERVER sqlite data.db\n";
  std::string body = "\n";
  for (int row = 0; row < 3; ++row) body += std::string(199, '0') + "\n";
  ExpectSucceeded(client().Call(
      "xp_sendmail",
      {Text("@recipient", "ops"), Text("@cc_recipient", "dba"), Text("@subject", "Disk report"),
       Text("@query",
            "with r(n) as (values (1), (2), (3)) "
            "select substr(hex(zeroblob(100)), 1, 199) from r"),
       Text("@no_column_header", "true"), Text("@echo_error", "false"), Int("@width", 1000)}));
  const std::string id = FindNext("");
  ASSERT_FALSE(id.empty());

  std::string read;
  int32_t skip = 0;
  for (int piece = 0; piece < 3; ++piece) {
    std::string skip_bytes(reinterpret_cast<const char*>(&skip), sizeof(skip));
    velsrv::CallResult r = client().Call(
        "xp_readmail",
        {RpcParam::Binary("@msg_id", id), RpcParam::Output("@recipients", VEL_CHAR_TYPE, 255),
         RpcParam::Output("@sender", VEL_CHAR_TYPE, 255),
         RpcParam::Output("@subject", VEL_CHAR_TYPE, 255),
         RpcParam::Output("@cc", VEL_CHAR_TYPE, 255),
         RpcParam::Output("@date_received", VEL_CHAR_TYPE, 255),
         RpcParam::Output("@message", VEL_CHAR_TYPE, 255),
         RpcParam::Output("@msg_length", VEL_INT_TYPE, 4),
         RpcParam::Output("@bytes_to_skip", VEL_INT_TYPE, 4, skip_bytes)});
    ExpectSucceeded(r);
    EXPECT_EQ(Value(r, "@subject"), "Disk report");
    EXPECT_EQ(Value(r, "@sender"), "ops");
    EXPECT_EQ(Value(r, "@recipients"), "ops");
    EXPECT_EQ(Value(r, "@cc"), "dba");
    EXPECT_FALSE(Value(r, "@date_received").empty());
    EXPECT_EQ(AsInt(r.output("@msg_length").value_or(velsrv::OutputValue{})), 601);
    read += Value(r, "@message");
    skip = AsInt(r.output("@bytes_to_skip").value_or(velsrv::OutputValue{}));
  }
  EXPECT_EQ(skip, 601);
  EXPECT_EQ(read, body);
  // Read now: an unread-only walk passes it by.
  EXPECT_EQ(FindNext(""), "");

  ExpectSucceeded(client().Call("xp_deletemail", {RpcParam::Binary("@msg_id", id)}));
  velsrv::CallResult gone =
      client().Call("xp_findnextmsg", {RpcParam::Output("@msg_id", VEL_BINARY_TYPE, 256, id)});
  EXPECT_EQ(Simplify(gone.routed), (std::vector<Routed>{{kMsgNoMessage, kToLogAndClient, {N(0)}}}));
}

TEST_F(MaildirReadTest, MailDeliveredByAnotherProgramIsFoundAndRead) {
  std::ofstream(root_ / "ops" / "new" / "1765000000.M1P1.mta.example")
      << "From: Night Batch <batch@example.com>\r\n"
         "To: ops@example.com\r\n"
         "Subject: =?UTF-8?Q?Backup_f=C3=A4rdig?=\r\n"
         "Date: Mon, 07 Dec 2026 09:05:07 +0000\r\n"
         "Message-ID: <1@example.com>\r\n"
         "\r\n"
         "All volumes copied.\r\n";
  const std::string id = FindNext("");
  EXPECT_EQ(id, "1765000000.M1P1.mta.example");
  velsrv::CallResult r =
      client().Call("xp_readmail", {RpcParam::Output("@subject", VEL_CHAR_TYPE, 255),
                                    RpcParam::Output("@message", VEL_CHAR_TYPE, 255),
                                    RpcParam::Output("@date_received", VEL_CHAR_TYPE, 255),
                                    Text("@peek", "true")});
  ExpectSucceeded(r);
  EXPECT_EQ(Value(r, "@subject"), "Backup f\xC3\xA4rdig");
  EXPECT_NE(Value(r, "@message").find("All volumes copied."), std::string::npos);
  EXPECT_EQ(Value(r, "@date_received"), "9:5:7 12/7/126");
  // Peeked: still the first unread message.
  EXPECT_EQ(FindNext(""), id);
  ExpectSucceeded(client().Call("xp_deletemail"));
  EXPECT_EQ(FindNext(""), "");
}

// Years count from 1900 in a byte: 2028 and later keep their sign.
TEST_F(MaildirReadTest, ADateFrom2030ReadsAsYear130) {
  std::ofstream(root_ / "ops" / "new" / "1900000000.M1P1.mta.example")
      << "From: batch@example.com\r\nTo: ops@example.com\r\nSubject: later\r\n"
         "Date: Sat, 07 Dec 2030 09:05:07 +0000\r\n\r\nbody\r\n";
  velsrv::CallResult r =
      client().Call("xp_readmail", {RpcParam::Output("@date_received", VEL_CHAR_TYPE, 255)});
  ExpectSucceeded(r);
  EXPECT_EQ(Value(r, "@date_received"), "9:5:7 12/7/130");
}

TEST_F(MaildirReadTest, QueryResultsTravelAsAnAttachment) {
  std::filesystem::current_path(dir_);
  std::ofstream(dir_ / "interfaces") << "VELSERVER sqlite data.db\n";
  velsrv::CallResult create = client().Call(
      "xp_sendmail", {Text("@recipient", "dba"),
                      Text("@query",
                           "create table disks(name text, free integer);"
                           "insert into disks values ('c', 10), ('d', 20);"
                           "select * from disks"),
                      Text("@attach_result", "true"), Text("@attachname", "disks.txt")});
  ExpectSucceeded(create);
  std::ifstream in(dir_ / "disks.txt");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("name\tfree"), std::string::npos) << text;
  EXPECT_NE(text.find("(2 rows affected)"), std::string::npos) << text;
  // It arrived in dba's mailbox with the file attached.
  size_t delivered = 0;
  for (const auto& entry : std::filesystem::directory_iterator(root_ / "dba" / "new")) {
    std::ifstream mail(entry.path());
    std::string raw((std::istreambuf_iterator<char>(mail)), std::istreambuf_iterator<char>());
    EXPECT_NE(raw.find("disks.txt"), std::string::npos);
    ++delivered;
  }
  EXPECT_EQ(delivered, 1u);
}

TEST_F(MaildirReadTest, ATextWithoutAFinalLineEndIsReadBackAsSent) {
  const std::string text = "31 bytes and no line end at all";
  ASSERT_EQ(text.size(), 31u);
  ExpectSucceeded(
      client().Call("xp_sendmail", {Text("@recipient", "ops"), Text("@message", text)}));
  velsrv::CallResult r =
      client().Call("xp_readmail", {RpcParam::Output("@message", VEL_CHAR_TYPE, 255),
                                    RpcParam::Output("@msg_length", VEL_INT_TYPE, 4)});
  ExpectSucceeded(r);
  EXPECT_EQ(Value(r, "@message"), text);
  EXPECT_EQ(AsInt(r.output("@msg_length").value_or(velsrv::OutputValue{})), 31);
}

TEST_F(MaildirReadTest, IncludedFilesComeFromTheServerButNeverFromTheMailRoot) {
  std::ofstream(dir_ / "notes.txt") << "server notes\n";
  std::filesystem::create_directories(dir_ / "work");
  ExpectSucceeded(client().Call(
      "xp_sendmail",
      {Text("@recipient", "dba"), Text("@include_file", (dir_ / "notes.txt").string())}));
  for (const std::filesystem::path& name :
       {root_ / "passwd", dir_ / "work" / ".." / "mail" / "passwd"}) {
    velsrv::CallResult r = client().Call(
        "xp_sendmail", {Text("@recipient", "dba"), Text("@include_file", name.string())});
    EXPECT_NE(r.returned, 1) << name;
    auto routed = Simplify(r.routed);
    ASSERT_EQ(routed.size(), 1u) << name;
    EXPECT_EQ(routed[0].msgnum, kMsgMailRequestFailed) << name;
  }
  size_t delivered = 0;
  for (const auto& entry : std::filesystem::directory_iterator(root_ / "dba" / "new")) {
    (void)entry;
    ++delivered;
  }
  EXPECT_EQ(delivered, 1u);
}

// Delivers a message of tests/data/mail into ops's mailbox as a mail
// transfer agent does.
void DeliverFile(const std::filesystem::path& root, const std::string& unique,
                 const std::string& file) {
  std::filesystem::copy_file(std::filesystem::path(VEL_TEST_MAIL_DIR) / file,
                             root / "ops" / "tmp" / unique);
  std::filesystem::rename(root / "ops" / "tmp" / unique, root / "ops" / "new" / unique);
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> names;
  for (size_t start = 0; start <= list.size();) {
    size_t end = std::min(list.find(';', start), list.size());
    names.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

TEST_F(MaildirReadTest, ASecondTextPartArrivesAsAnAttachmentFile) {
  DeliverFile(root_, "1765000000.M1P1.mta.example", "two_text_parts.eml");
  velsrv::CallResult r =
      client().Call("xp_readmail", {RpcParam::Output("@message", VEL_CHAR_TYPE, 255),
                                    RpcParam::Output("@attachments", VEL_CHAR_TYPE, 255),
                                    Text("@suppress_attach", "false")});
  ExpectSucceeded(r);
  EXPECT_EQ(Value(r, "@message"), "One");
  const std::vector<std::string> files = SplitList(Value(r, "@attachments"));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(FileText(files[0]), "Two");
}

// Mail other programs wrote badly, read through the library: a bare null
// sender is a sender ("<>", not NULL), text its charset cannot decode is
// valid UTF-8 with U+FFFD in @message, and the parts of a multipart whose
// header blocks lack their empty line keep their content.
TEST_F(MaildirReadTest, BadlyWrittenMailKeepsItsSenderTextAndParts) {
  DeliverFile(root_, "1765000001.M1P1.mta.example", "null_sender_bare.eml");
  DeliverFile(root_, "1765000002.M1P1.mta.example", "latin1_as_ascii.eml");
  DeliverFile(root_, "1765000003.M1P1.mta.example", "part_heads_without_blank_line.eml");
  const auto read = [&](const std::string& unique) {
    return client().Call(
        "xp_readmail",
        {RpcParam::Binary("@msg_id", unique), RpcParam::Output("@sender", VEL_CHAR_TYPE, 255),
         RpcParam::Output("@message", VEL_CHAR_TYPE, 255),
         RpcParam::Output("@attachments", VEL_CHAR_TYPE, 255), Text("@suppress_attach", "false")});
  };
  velsrv::CallResult bounce = read("1765000001.M1P1.mta.example");
  ExpectSucceeded(bounce);
  ASSERT_TRUE(bounce.output("@sender").has_value());
  EXPECT_FALSE(bounce.output("@sender")->is_null());
  EXPECT_EQ(Value(bounce, "@sender"), "<>");

  velsrv::CallResult latin1 = read("1765000002.M1P1.mta.example");
  ExpectSucceeded(latin1);
  EXPECT_EQ(Value(latin1, "@message"),
            "K\xef\xbf\xbdln und Stra\xef\xbf\xbd"
            "e\n");

  velsrv::CallResult parts = read("1765000003.M1P1.mta.example");
  ExpectSucceeded(parts);
  EXPECT_EQ(Value(parts, "@message"), "The text begins here.\nSecond line.");
  const std::vector<std::string> files = SplitList(Value(parts, "@attachments"));
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(FileText(files[0]), "Hello, attachment!");
  EXPECT_EQ(FileText(files[1]), "Plain rendering");
  EXPECT_EQ(FileText(files[2]), "A part without any header.");
}

// Five saved attachments: as many whole paths as 255 bytes hold, each
// naming its file, and never a cut one. The folders the provider adds to
// the mail root are short (a session's, a message's).
TEST_F(MaildirReadTest, AttachmentPathsAreShortAndListedWhole) {
  DeliverFile(root_, "1765000000.M1P1.mta.example", "five_attachments.eml");
  velsrv::CallResult r = client().Call(
      "xp_readmail",
      {RpcParam::Output("@attachments", VEL_CHAR_TYPE, 255), Text("@suppress_attach", "false")});
  EXPECT_EQ(r.statuses, std::vector<int32_t>{0});
  const std::string list = Value(r, "@attachments");
  const std::vector<std::string> files = SplitList(list);
  ASSERT_FALSE(files[0].empty()) << list;
  const std::filesystem::path folder = std::filesystem::path(files[0]).parent_path();
  const std::string added = folder.lexically_relative(root_ / ".attachments").string();
  EXPECT_LE(added.size(), 20u) << added;  // "<pid>.<session>/<n>"
  // The paths that fit, in order.
  std::string expected;
  int listed = 0;
  for (int i = 1; i <= 5; ++i) {
    const std::string path = (folder / ("disk-report-" + std::to_string(i) + ".csv")).string();
    if (expected.size() + (expected.empty() ? 0 : 1) + path.size() > 255) break;
    expected += (expected.empty() ? "" : ";") + path;
    ++listed;
  }
  EXPECT_EQ(list, expected);
  // Files the list could not name are counted, with their folder.
  constexpr int32_t kMsgAttachmentsLeftOut = 11551;
  if (listed < 5) {
    EXPECT_EQ(Simplify(r.routed),
              (std::vector<Routed>{
                  {kMsgAttachmentsLeftOut, kToLogAndClient, {T(folder.string()), N(5)}}}));
  } else {
    EXPECT_TRUE(r.routed.empty());
  }
  for (size_t i = 0; i < files.size(); ++i)
    EXPECT_EQ(FileText(files[i]), "disk,free\nc," + std::to_string(i + 1)) << files[i];
}

// Every item of the attachments list is a file that was saved, with its
// part's bytes: a name holding the list's separator is saved under another,
// and two long names alike up to their end are saved under short names of
// their own, so that both fit the list under a mail root of a usual length.
TEST_F(MaildirReadTest, EveryItemOfTheAttachmentsListIsASavedFile) {
  ExpectSucceeded(client().Call("xp_stopmail"));
  struct ShortRoot {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("vm-" + std::to_string(std::random_device()()));
    ~ShortRoot() { std::filesystem::remove_all(path); }
  } root;
  ASSERT_NO_FATAL_FAILURE(UseMailRoot(root.path));
  ExpectSucceeded(
      client().Call("xp_startmail", {Text("@mail_user", "ops"), Text("@mail_password", "secret")}));
  DeliverFile(root.path, "1765000000.M1P1.mta.example", "separator_in_name.eml");
  DeliverFile(root.path, "1765000000.M2P1.mta.example", "long_names.eml");
  struct Saved {
    std::string ending, content;
  };
  const std::vector<Saved> expected[] = {
      {{"/report_secret.txt", "secret figures\n"}, {"/notes.txt", "notes\n"}},
      {{".csv", "disk,free\nc,1\n"}, {".csv", "disk,free\nc,2\n"}},
  };
  std::string id;
  for (const std::vector<Saved>& saved : expected) {
    id = FindNext(id);
    ASSERT_FALSE(id.empty());
    velsrv::CallResult r =
        client().Call("xp_readmail", {RpcParam::Binary("@msg_id", id),
                                      RpcParam::Output("@attachments", VEL_CHAR_TYPE, 255),
                                      Text("@suppress_attach", "false"), Text("@peek", "true")});
    ExpectSucceeded(r);
    const std::string list = Value(r, "@attachments");
    const std::vector<std::string> files = SplitList(list);
    ASSERT_EQ(files.size(), saved.size()) << list;
    for (size_t i = 0; i < files.size(); ++i) {
      const std::string& file = files[i];
      EXPECT_TRUE(std::filesystem::path(file).is_absolute()) << list;
      EXPECT_TRUE(file.ends_with(saved[i].ending)) << list;
      EXPECT_TRUE(std::filesystem::is_regular_file(file)) << file;
      EXPECT_EQ(FileText(file), saved[i].content) << file;
    }
  }
}

// A host may unload the library (and with it the provider) and load it
// again in the same process; mail must still be parsed afterwards.
TEST_F(MaildirReadTest, MailIsStillReadAfterTheLibraryIsLoadedAgain) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    if (round > 0) {
      DestroyHost();
      ExpectSucceeded(client().Call("xp_startmail",
                                    {Text("@mail_user", "ops"), Text("@mail_password", "secret")}));
    }
    ExpectSucceeded(
        client().Call("xp_sendmail", {Text("@recipient", "ops"), Text("@subject", "round"),
                                      Text("@message", "text of the round")}));
    velsrv::CallResult r =
        client().Call("xp_readmail", {RpcParam::Output("@subject", VEL_CHAR_TYPE, 255),
                                      RpcParam::Output("@message", VEL_CHAR_TYPE, 255)});
    ExpectSucceeded(r);
    EXPECT_EQ(Value(r, "@subject"), "round");
    EXPECT_NE(Value(r, "@message").find("text of the round"), std::string::npos);
  }
}

// The provider named by its versioned file name, as installed beside the
// library, is loaded as given and its mail read.
TEST_F(MaildirReadTest, AProviderNamedByItsVersionedFileNameIsLoadedAsGiven) {
  ExpectSucceeded(
      client().Call("xp_sendmail", {Text("@recipient", "dba"), Text("@subject", "versioned"),
                                    Text("@message", "by its file name")}));
  DestroyHost();
  WriteWinIniRaw("[Mail]\nCMCDLLNAME32=libvelcmc.so.1\n");
  ExpectSucceeded(
      client().Call("xp_startmail", {Text("@mail_user", "dba"), Text("@mail_password", "secret")}));
  velsrv::CallResult r =
      client().Call("xp_readmail", {RpcParam::Output("@subject", VEL_CHAR_TYPE, 255)});
  ExpectSucceeded(r);
  EXPECT_EQ(Value(r, "@subject"), "versioned");
}

}  // namespace
}  // namespace veltest
