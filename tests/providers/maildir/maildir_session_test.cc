// The maildir provider's sessions through its C entry points: logon,
// logoff, stale ids, freeing, look-up, both module names, and several
// threads at once.
#include <atomic>
#include <thread>

#include "maildir_test_support.h"

namespace maildir_test {
namespace {

class MaildirSession : public MaildirTest {
 protected:
  void SetUp() override {
    MaildirTest::SetUp();
    AddAccount("alice", "s3cret pass");
    AddAccount("bob", "hunter2");
  }
};

TEST(MaildirModule, BothModuleNamesExportEveryEntryPoint) {
  for (const char* file : {"libvelcmc.so", "libmapi32.so"}) {
    Cmc cmc;
    EXPECT_TRUE(cmc.Load(file)) << file << ": " << vel::os::ModuleError();
  }
}

TEST_F(MaildirSession, GoodPasswordsOpenSeveralDistinctSessions) {
  CMC_session_id a1 = 0, a2 = 0, b = 0;
  ASSERT_EQ(Logon("alice", "s3cret pass", &a1), CMC_SUCCESS);
  ASSERT_EQ(Logon("alice", "s3cret pass", &a2), CMC_SUCCESS);
  ASSERT_EQ(Logon("bob", "hunter2", &b), CMC_SUCCESS);
  EXPECT_NE(a1, 0u);
  EXPECT_NE(a2, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a1, a2);
  EXPECT_NE(a2, b);
  EXPECT_EQ(cmc_.logoff(a1, 0, 0, nullptr), CMC_SUCCESS);
  // The other sessions are untouched by the first one's end.
  EXPECT_TRUE(List(a2).empty());
  EXPECT_EQ(cmc_.logoff(a2, 0, 0, nullptr), CMC_SUCCESS);
  EXPECT_EQ(cmc_.logoff(b, 0, 0, nullptr), CMC_SUCCESS);
}

TEST_F(MaildirSession, WrongPasswordUnknownAccountAndMissingUserFailAlike) {
  CMC_session_id id = 0;
  EXPECT_EQ(Logon("alice", "hunter2", &id), CMC_E_LOGON_FAILURE);
  EXPECT_EQ(Logon("alice", "", &id), CMC_E_LOGON_FAILURE);
  EXPECT_EQ(Logon("mallory", "s3cret pass", &id), CMC_E_LOGON_FAILURE);
  EXPECT_EQ(Logon("../alice", "s3cret pass", &id), CMC_E_LOGON_FAILURE);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(cmc_.logon(nullptr, nullptr, nullptr, nullptr, 0, 100, 0, &id, nullptr),
            CMC_E_LOGON_FAILURE);
}

TEST_F(MaildirSession, ChangedPasswordTakesEffectAtTheNextLogon) {
  CMC_session_id id = 0;
  AddAccount("alice", "new one");
  EXPECT_EQ(Logon("alice", "s3cret pass", &id), CMC_E_LOGON_FAILURE);
  EXPECT_EQ(Logon("alice", "new one", &id), CMC_SUCCESS);
  // The account file holds one line for alice, hashed, never the password.
  std::string file = ReadAll(root_ / "passwd");
  EXPECT_EQ(file.find("new one"), std::string::npos);
  EXPECT_EQ(file.find("alice:"), file.rfind("alice:"));
  EXPECT_TRUE(file.find("alice:$y$") != std::string::npos ||
              file.find("alice:$6$") != std::string::npos)
      << file;
}

TEST_F(MaildirSession, TheAccountToolRefusesAnEmptyPassword) {
  for (const char* input : {"printf '\\n'", "printf '\\r\\n'", "printf ''"}) {
    std::string command = std::string(input) + " | '" VELCMC_PASSWD_TOOL "' '" + root_.string() +
                          "' carol 2>/dev/null";
    EXPECT_NE(std::system(command.c_str()), 0) << input;
  }
  EXPECT_EQ(ReadAll(root_ / "passwd").find("carol:"), std::string::npos);
  CMC_session_id id = 0;
  EXPECT_EQ(Logon("carol", "", &id), CMC_E_LOGON_FAILURE);
  // Nor does an existing account lose its password to an empty one.
  std::string command =
      "printf '\\n' | '" VELCMC_PASSWD_TOOL "' '" + root_.string() + "' alice 2>/dev/null";
  EXPECT_NE(std::system(command.c_str()), 0);
  EXPECT_EQ(Logon("alice", "s3cret pass", &id), CMC_SUCCESS);
}

// A fresh store made by the tool, as the installation guide makes one: the
// root and what is missing above it are its owner's only, whatever the
// umask, and the account it made logs on there.
TEST_F(MaildirSession, TheAccountToolMakesAFreshRootItsOwnersOnly) {
  const fs::path above = root_.parent_path() / "data";
  const fs::path fresh = above / "velmail" / "mail";
  const std::string command =
      "umask 022 && printf 'ops-demo\\n' | '" VELCMC_PASSWD_TOOL "' '" + fresh.string() + "' ops";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  for (const fs::path& dir :
       {above, above / "velmail", fresh, fresh / "ops", fresh / "ops" / "new"}) {
    EXPECT_EQ(fs::status(dir).permissions() & fs::perms::all, fs::perms::owner_all) << dir;
  }
  EXPECT_EQ(fs::status(fresh / "passwd").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  vel::os::SetEnvironmentVariable("VELCMC_ROOT", fresh.c_str());
  CMC_session_id id = 0;
  EXPECT_EQ(Logon("ops", "ops-demo", &id), CMC_SUCCESS);
  EXPECT_EQ(Logon("alice", "s3cret pass", &id), CMC_E_LOGON_FAILURE);
}

TEST_F(MaildirSession, LogonExtensionsAndVersion) {
  CMC_session_id id = 0;
  CMC_extension library_ext{528, 4, nullptr, CMC_EXT_LAST_ELEMENT | CMC_EXT_REQUIRED};
  EXPECT_EQ(Logon("alice", "s3cret pass", &id, &library_ext), CMC_SUCCESS);

  CMC_extension two[2] = {{528, 4, nullptr, CMC_EXT_REQUIRED},
                          {777, 0, nullptr, CMC_EXT_LAST_ELEMENT | CMC_EXT_REQUIRED}};
  EXPECT_EQ(Logon("alice", "s3cret pass", &id, two), CMC_E_UNSUPPORTED_DATA_EXT);
  two[1].extension_flags = CMC_EXT_LAST_ELEMENT;  // not required: ignored
  EXPECT_EQ(Logon("alice", "s3cret pass", &id, two), CMC_SUCCESS);

  EXPECT_EQ(cmc_.logon(nullptr, const_cast<char*>("alice"), const_cast<char*>("s3cret pass"),
                       nullptr, 0, 99, 0, &id, nullptr),
            CMC_E_UNSUPPORTED_VERSION);
}

TEST_F(MaildirSession, StaleAndUnknownSessionsAreRefusedEverywhere) {
  CMC_session_id id = Session("alice", "s3cret pass");
  ASSERT_EQ(cmc_.logoff(id, 0, 0, nullptr), CMC_SUCCESS);
  Outgoing message;
  message.To("bob").Subject("x");
  Reference ref("whatever");
  CMC_uint32 count = 0;
  CMC_message_summary* summaries = nullptr;
  CMC_message* read = nullptr;
  CMC_recipient wanted{
      const_cast<char*>("bob"), CMC_TYPE_INDIVIDUAL, nullptr, 0, CMC_RECIP_LAST_ELEMENT, nullptr};
  CMC_recipient* found = nullptr;
  for (CMC_session_id bad : {id, id + 1000, 0u}) {
    EXPECT_EQ(cmc_.logoff(bad, 0, 0, nullptr), CMC_E_INVALID_SESSION_ID);
    EXPECT_EQ(cmc_.send(bad, message.Build(), 0, 0, nullptr), CMC_E_INVALID_SESSION_ID);
    EXPECT_EQ(cmc_.list(bad, nullptr, 0, nullptr, &count, 0, &summaries, nullptr),
              CMC_E_INVALID_SESSION_ID);
    EXPECT_EQ(cmc_.read(bad, ref.get(), 0, &read, 0, nullptr), CMC_E_INVALID_SESSION_ID);
    EXPECT_EQ(cmc_.act_on(bad, ref.get(), CMC_ACT_ON_DELETE, 0, 0, nullptr),
              CMC_E_INVALID_SESSION_ID);
    EXPECT_EQ(cmc_.look_up(bad, &wanted, 0, 0, &count, &found, nullptr), CMC_E_INVALID_SESSION_ID);
  }
  EXPECT_TRUE(FilesIn(Mailbox("bob") / "new").empty());
}

TEST_F(MaildirSession, FreeRefusesWhatItDidNotHandOut) {
  CMC_session_id id = Session("alice", "s3cret pass");
  CMC_recipient wanted{const_cast<char*>("bob"),
                       CMC_TYPE_INDIVIDUAL,
                       nullptr,
                       CMC_ROLE_CC,
                       CMC_RECIP_LAST_ELEMENT,
                       nullptr};
  CMC_uint32 count = 0;
  CMC_recipient* found = nullptr;
  ASSERT_EQ(cmc_.look_up(id, &wanted, 0, 0, &count, &found, nullptr), CMC_SUCCESS);
  int local = 0;
  EXPECT_EQ(cmc_.free(&local), CMC_E_INVALID_MEMORY);
  EXPECT_EQ(cmc_.free(found), CMC_SUCCESS);
  EXPECT_EQ(cmc_.free(found), CMC_E_INVALID_MEMORY);  // not twice
  EXPECT_EQ(cmc_.free(nullptr), CMC_SUCCESS);
}

TEST_F(MaildirSession, LookUpResolvesNamesToMailboxes) {
  CMC_session_id id = Session("alice", "s3cret pass");
  CMC_uint32 count = 0;
  CMC_recipient* found = nullptr;
  for (const char* name : {"bob", "bob@far.example", "Bob Builder <bob@far.example>"}) {
    CMC_recipient wanted{const_cast<char*>(name),
                         CMC_TYPE_INDIVIDUAL,
                         nullptr,
                         CMC_ROLE_CC,
                         CMC_RECIP_LAST_ELEMENT,
                         nullptr};
    ASSERT_EQ(cmc_.look_up(id, &wanted, 0, 0, &count, &found, nullptr), CMC_SUCCESS) << name;
    ASSERT_EQ(count, 1u);
    EXPECT_STREQ(found->name, "bob");
    EXPECT_EQ(std::string(found->address).rfind("bob@", 0), 0u) << found->address;
    EXPECT_EQ(found->role, CMC_ROLE_CC);
    EXPECT_EQ(found->recip_flags & CMC_RECIP_LAST_ELEMENT, CMC_RECIP_LAST_ELEMENT);
    cmc_.free(found);
  }
  for (const char* name : {"nobody", "../bob", "", "a, b"}) {
    CMC_recipient wanted{
        const_cast<char*>(name), CMC_TYPE_INDIVIDUAL, nullptr, 0, CMC_RECIP_LAST_ELEMENT, nullptr};
    EXPECT_EQ(cmc_.look_up(id, &wanted, 0, 0, &count, &found, nullptr), CMC_E_RECIPIENT_NOT_FOUND)
        << name;
  }
}

TEST_F(MaildirSession, SeveralThreadsSendAndReadAtOnce) {
  constexpr int kThreads = 4, kEach = 5;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      CMC_session_id id = 0;
      if (cmc_.logon(nullptr, const_cast<char*>(t % 2 ? "alice" : "bob"),
                     const_cast<char*>(t % 2 ? "s3cret pass" : "hunter2"), nullptr, 0, 100, 0, &id,
                     nullptr) != CMC_SUCCESS) {
        ++failures;
        return;
      }
      for (int i = 0; i < kEach; ++i) {
        Outgoing m;
        m.To("alice").To("bob", CMC_ROLE_CC).Subject("t" + std::to_string(t)).Text("hi");
        if (cmc_.send(id, m.Build(), 0, 0, nullptr) != CMC_SUCCESS) ++failures;
        CMC_uint32 count = 1;
        CMC_message_summary* s = nullptr;
        if (cmc_.list(id, nullptr, 0, nullptr, &count, 0, &s, nullptr) != CMC_SUCCESS ||
            count != 1) {
          ++failures;
          continue;
        }
        CMC_message* read = nullptr;
        if (cmc_.read(id, s->message_reference, 0, &read, 0, nullptr) != CMC_SUCCESS) ++failures;
        cmc_.free(read);
        cmc_.free(s);
      }
      if (cmc_.logoff(id, 0, 0, nullptr) != CMC_SUCCESS) ++failures;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  CMC_session_id id = Session("alice", "s3cret pass");
  EXPECT_EQ(List(id).size(), static_cast<size_t>(kThreads * kEach));
}

}  // namespace
}  // namespace maildir_test
