// The test provider's normal behaviour: sessions, sending, listing,
// reading, deleting and the memory it hands out. The provider is loaded by
// path, as the library loads it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "module_names.h"
#include "platform/platform.h"
#include "providers/testcmc/testcmc_control.h"

namespace {

// The build's module directory: VEL_LIB_DIR, else the one it was built
// with.
std::string LibDir() {
  const char* dir = std::getenv("VEL_LIB_DIR");
  return dir && *dir ? dir : VEL_BUILD_LIB_DIR;
}

// libveltestcmc.so loaded from the build's module directory, with its
// eight entry points resolved.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testcmc::Reset();
    const std::string path = LibDir() + "/" + veltest::ModuleFile("veltestcmc");
    module_ = vel::os::LoadModule(path.c_str());
    ASSERT_NE(module_, nullptr) << vel::os::ModuleError();
    Resolve(logon_, "cmc_logon");
    Resolve(logoff_, "cmc_logoff");
    Resolve(free_, "cmc_free");
    Resolve(send_, "cmc_send");
    Resolve(look_up_, "cmc_look_up");
    Resolve(list_, "cmc_list");
    Resolve(read_, "cmc_read");
    Resolve(act_on_, "cmc_act_on");
  }
  void TearDown() override {
    if (module_) vel::os::FreeModule(module_);
  }

  template <class Fn>
  void Resolve(Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(vel::os::ModuleSymbol(module_, name));
    ASSERT_NE(fn, nullptr) << name;
  }

  CMC_session_id Logon(const char* user = "mailer", const char* password = "secret") {
    CMC_session_id session = 0;
    EXPECT_EQ(logon_(nullptr, const_cast<char*>(user), const_cast<char*>(password), nullptr, 0,
                     CMC_VERSION, 0, &session, nullptr),
              CMC_SUCCESS);
    return session;
  }

  // Lists with the given filter; returns the summaries (or null) and the
  // count through out.
  CMC_message_summary* List(CMC_session_id session, const char* type, CMC_flags flags,
                            CMC_uint32* count, CMC_return_code expect = CMC_SUCCESS) {
    CMC_message_summary* result = nullptr;
    EXPECT_EQ(list_(session, const_cast<char*>(type), flags, nullptr, count, 0, &result, nullptr),
              expect);
    return result;
  }

  vel::os::Module module_ = nullptr;
  CMC_logon_fn logon_ = nullptr;
  CMC_logoff_fn logoff_ = nullptr;
  CMC_free_fn free_ = nullptr;
  CMC_send_fn send_ = nullptr;
  CMC_look_up_fn look_up_ = nullptr;
  CMC_list_fn list_ = nullptr;
  CMC_read_fn read_ = nullptr;
  CMC_act_on_fn act_on_ = nullptr;
};
// Test names carry the stand-ins' prefix so that ctest -R stubs_ selects them.
using stubs_testcmc_store = StoreTest;

// A message reference as the library builds one: length, then bytes.
class Reference {
 public:
  explicit Reference(const std::string& bytes) : storage_(sizeof(CMC_uint32) + bytes.size() + 1) {
    ref()->length = static_cast<CMC_uint32>(bytes.size());
    std::memcpy(ref()->string, bytes.data(), bytes.size());
  }
  CMC_message_reference* ref() { return reinterpret_cast<CMC_message_reference*>(storage_.data()); }

 private:
  std::vector<uint32_t> storage_;  // word-aligned
};

std::string Bytes(const CMC_message_reference* ref) {
  return ref ? std::string(ref->string, ref->length) : std::string("<null>");
}

testcmc::Message Mail(std::string reference, std::string type, std::string subject, bool read) {
  testcmc::Message m;
  m.reference = std::move(reference);
  m.type = std::move(type);
  m.subject = std::move(subject);
  m.text = "body of " + m.subject;
  m.sender = "sender of " + m.subject;
  m.read = read;
  return m;
}

TEST_F(stubs_testcmc_store, SessionsAreFreshAndEndAtLogoff) {
  const CMC_session_id first = Logon("alice", "pw");
  const CMC_session_id second = Logon();
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(second, 2u);
  EXPECT_EQ(testcmc::OpenSessions(), 2);

  const auto calls = testcmc::Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].entry, "cmc_logon");
  EXPECT_EQ(calls[0].user, "alice");
  EXPECT_EQ(calls[0].password, "pw");
  EXPECT_TRUE(calls[0].service_null);
  EXPECT_TRUE(calls[0].character_set_null);
  EXPECT_TRUE(calls[0].extensions_null);
  EXPECT_EQ(calls[0].version, CMC_VERSION);
  EXPECT_TRUE(calls[0].finished);
  EXPECT_EQ(calls[0].result, CMC_SUCCESS);

  EXPECT_EQ(logoff_(first, 0, 0, nullptr), CMC_SUCCESS);
  EXPECT_EQ(logoff_(first, 0, 0, nullptr), CMC_E_INVALID_SESSION_ID);
  EXPECT_EQ(testcmc::OpenSessions(), 1);
  EXPECT_EQ(Logon(), 3u) << "ids are not reused";
}

TEST_F(stubs_testcmc_store, UnknownSessionIsRefusedByEverySessionCall) {
  testcmc::SetMailbox({Mail("r1", "CMC: IPM", "s", false)});
  Reference ref("r1");
  CMC_message message{};
  CMC_message* read = nullptr;
  CMC_uint32 count = 0;
  CMC_recipient* found = nullptr;
  EXPECT_EQ(send_(99, &message, 0, 0, nullptr), CMC_E_INVALID_SESSION_ID);
  EXPECT_EQ(look_up_(99, nullptr, 0, 0, &count, &found, nullptr), CMC_E_INVALID_SESSION_ID);
  EXPECT_EQ(List(99, nullptr, 0, &count, CMC_E_INVALID_SESSION_ID), nullptr);
  EXPECT_EQ(read_(99, ref.ref(), 0, &read, 0, nullptr), CMC_E_INVALID_SESSION_ID);
  EXPECT_EQ(act_on_(99, ref.ref(), CMC_ACT_ON_DELETE, 0, 0, nullptr), CMC_E_INVALID_SESSION_ID);
  EXPECT_EQ(logoff_(99, 0, 0, nullptr), CMC_E_INVALID_SESSION_ID);
  EXPECT_EQ(testcmc::Mailbox().size(), 1u);
  EXPECT_EQ(testcmc::OutstandingBlocks(), 0);
}

TEST_F(stubs_testcmc_store, SendRecordsTheMessageUpToTheLastElements) {
  const CMC_session_id session = Logon();
  CMC_recipient recipients[3] = {};
  recipients[0].name = const_cast<char*>("to@x");
  recipients[0].role = CMC_ROLE_TO;
  recipients[1].name = const_cast<char*>("cc@x");
  recipients[1].role = CMC_ROLE_CC;
  recipients[1].recip_flags = CMC_RECIP_LAST_ELEMENT;
  recipients[2].name = const_cast<char*>("beyond the last");
  CMC_attachment attachments[2] = {};
  attachments[0].attach_title = const_cast<char*>("report");
  attachments[0].attach_filename = const_cast<char*>("/tmp/vel00001.txt");
  attachments[0].attach_flags = CMC_ATT_LAST_ELEMENT | CMC_ATT_APP_OWNS_FILE;
  attachments[1].attach_title = const_cast<char*>("beyond the last");
  CMC_extension extensions[2] = {{1, 2, nullptr, 0}, {3, 4, nullptr, CMC_EXT_LAST_ELEMENT}};

  CMC_message message{};
  message.subject = const_cast<char*>("Hello");
  message.message_type = const_cast<char*>("CMC: IPM");
  message.recipients = recipients;
  message.attachments = attachments;
  ASSERT_EQ(send_(session, &message, 0, 0, extensions), CMC_SUCCESS);

  const testcmc::Call call = testcmc::Calls().back();
  EXPECT_EQ(call.entry, "cmc_send");
  EXPECT_EQ(call.session, session);
  EXPECT_EQ(call.subject, "Hello");
  EXPECT_EQ(call.send_type, "CMC: IPM");
  EXPECT_TRUE(call.text_note_null);
  const std::vector<std::pair<std::string, uint32_t>> want_recipients = {{"to@x", CMC_ROLE_TO},
                                                                         {"cc@x", CMC_ROLE_CC}};
  EXPECT_EQ(call.recipients, want_recipients);
  EXPECT_EQ(call.recipient_flags, (std::vector<uint32_t>{0, CMC_RECIP_LAST_ELEMENT}));
  ASSERT_EQ(call.attachments.size(), 1u);
  EXPECT_EQ(call.attachments[0].first, "report");
  EXPECT_EQ(call.attachments[0].second, "/tmp/vel00001.txt");
  ASSERT_EQ(call.extensions.size(), 2u);
  EXPECT_EQ(call.extensions[1].item_code, 3u);
  EXPECT_FALSE(call.extensions_null);

  message.text_note = const_cast<char*>("text");
  message.recipients = nullptr;
  message.attachments = nullptr;
  ASSERT_EQ(send_(session, &message, 0, 0, nullptr), CMC_SUCCESS);
  const testcmc::Call second = testcmc::Calls().back();
  EXPECT_FALSE(second.text_note_null);
  EXPECT_EQ(second.text_note, "text");
  EXPECT_TRUE(second.recipients.empty());
  EXPECT_TRUE(second.attachments.empty());
}

TEST_F(stubs_testcmc_store, ListFiltersByTypeAndReadStateAndCount) {
  const CMC_session_id session = Logon();
  testcmc::SetMailbox({Mail("a", "CMC: IPM", "one", true), Mail("b", "IPM.Other", "two", false),
                       Mail("c", "CMC: IPM", "three", false), Mail("d", "CMC: IPM", "four", true)});
  struct Case {
    const char* type;
    CMC_flags flags;
    CMC_uint32 count_in;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {nullptr, 0, 0, {"a", "b", "c", "d"}},
      {nullptr, 0, 2, {"a", "b"}},
      {"CMC: IPM", 0, 0, {"a", "c", "d"}},
      {"CMC:", 0, 0, {}},  // exact match only
      {nullptr, CMC_LIST_UNREAD_ONLY, 0, {"b", "c"}},
      {"CMC: IPM", CMC_LIST_UNREAD_ONLY, 1, {"c"}},
      {"CMC: IPM", CMC_LIST_UNREAD_ONLY, 5, {"c"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << (c.type ? c.type : "<all>") << " flags " << c.flags << " count " << c.count_in);
    CMC_uint32 count = c.count_in;
    CMC_message_summary* result = List(session, c.type, c.flags, &count);
    ASSERT_EQ(count, c.want.size());
    if (c.want.empty()) {
      EXPECT_EQ(result, nullptr);
      continue;
    }
    ASSERT_NE(result, nullptr);
    for (size_t i = 0; i < c.want.size(); ++i) {
      EXPECT_EQ(Bytes(result[i].message_reference), c.want[i]);
      const bool last = (result[i].summary_flags & CMC_SUM_LAST_ELEMENT) != 0;
      EXPECT_EQ(last, i + 1 == c.want.size());
    }
    EXPECT_EQ(free_(result), CMC_SUCCESS);
  }
  EXPECT_EQ(testcmc::OutstandingBlocks(), 0);
  const auto calls = testcmc::Calls();
  const testcmc::Call& call = calls[calls.size() - 2];  // the last list, before its free
  ASSERT_EQ(call.entry, "cmc_list");
  EXPECT_EQ(call.message_type, "CMC: IPM");
  EXPECT_EQ(call.count_in, 5u);
  EXPECT_TRUE(call.seed_null);
}

TEST_F(stubs_testcmc_store, SummaryCarriesTheMessageFields) {
  const CMC_session_id session = Logon();
  testcmc::Message m = Mail("ref-1", "CMC: IPM", "Subject", true);
  m.time.year = 99;
  m.time.hour = 13;
  testcmc::Message no_fields = Mail("ref-2", "x", "y", false);
  no_fields.null_reference = no_fields.null_subject = no_fields.null_type = true;
  testcmc::SetMailbox({m, no_fields});

  CMC_uint32 count = 0;
  CMC_message_summary* result = List(session, nullptr, 0, &count);
  ASSERT_EQ(count, 2u);
  const CMC_message_summary& s = result[0];
  EXPECT_EQ(Bytes(s.message_reference), "ref-1");
  EXPECT_STREQ(s.message_type, "CMC: IPM");
  EXPECT_STREQ(s.subject, "Subject");
  EXPECT_EQ(s.time_sent.year, 99);
  EXPECT_EQ(s.time_sent.hour, 13);
  EXPECT_EQ(s.byte_length, m.text.size());
  EXPECT_EQ(s.summary_flags & CMC_SUM_READ, CMC_SUM_READ);
  ASSERT_NE(s.originator, nullptr);
  EXPECT_STREQ(s.originator->name, "sender of Subject");
  EXPECT_EQ(s.originator->role, CMC_ROLE_ORIGINATOR);

  const CMC_message_summary& bare = result[1];
  EXPECT_EQ(bare.message_reference, nullptr);
  EXPECT_EQ(bare.subject, nullptr);
  EXPECT_EQ(bare.message_type, nullptr);
  EXPECT_EQ(bare.summary_flags & CMC_SUM_READ, 0u);
  EXPECT_EQ(free_(result), CMC_SUCCESS);
}

TEST_F(stubs_testcmc_store, ReadReturnsTheMessageAndMarksItRead) {
  const CMC_session_id session = Logon();
  testcmc::Message m = Mail("id-7", "CMC: IPM", "Report", false);
  m.recipients = {{"to@x", CMC_ROLE_TO}, {"cc@x", CMC_ROLE_CC}};
  m.attachments = {{"a.txt", "/tmp/a.txt"}, {"b.txt", "/tmp/b.txt"}};
  testcmc::SetMailbox({Mail("id-70", "CMC: IPM", "longer id", false), m});

  Reference prefix("id");
  CMC_message* message = nullptr;
  EXPECT_EQ(read_(session, prefix.ref(), 0, &message, 0, nullptr), CMC_E_INVALID_MESSAGE_REFERENCE);
  EXPECT_EQ(message, nullptr);

  Reference ref("id-7");
  ASSERT_EQ(read_(session, ref.ref(), CMC_DO_NOT_MARK_AS_READ, &message, 0, nullptr), CMC_SUCCESS);
  EXPECT_FALSE(testcmc::Mailbox()[1].read) << "peeking leaves it unread";
  ASSERT_EQ(free_(message), CMC_SUCCESS);

  ASSERT_EQ(read_(session, ref.ref(), 0, &message, 0, nullptr), CMC_SUCCESS);
  EXPECT_TRUE(testcmc::Mailbox()[1].read);
  EXPECT_FALSE(testcmc::Mailbox()[0].read);
  EXPECT_EQ(testcmc::Calls().back().reference, "id-7");

  EXPECT_EQ(Bytes(message->message_reference), "id-7");
  EXPECT_STREQ(message->subject, "Report");
  EXPECT_STREQ(message->text_note, "body of Report");
  const std::vector<std::pair<std::string, uint32_t>> want = {
      {"sender of Report", CMC_ROLE_ORIGINATOR}, {"to@x", CMC_ROLE_TO}, {"cc@x", CMC_ROLE_CC}};
  std::vector<std::pair<std::string, uint32_t>> got;
  for (const CMC_recipient* r = message->recipients;; ++r) {
    got.emplace_back(r->name, r->role);
    if (r->recip_flags & CMC_RECIP_LAST_ELEMENT || got.size() > 10) break;
  }
  EXPECT_EQ(got, want);
  ASSERT_NE(message->attachments, nullptr);
  EXPECT_STREQ(message->attachments[0].attach_filename, "/tmp/a.txt");
  EXPECT_EQ(message->attachments[0].attach_flags & CMC_ATT_LAST_ELEMENT, 0u);
  EXPECT_STREQ(message->attachments[1].attach_title, "b.txt");
  EXPECT_EQ(message->attachments[1].attach_flags & CMC_ATT_LAST_ELEMENT, CMC_ATT_LAST_ELEMENT);
  EXPECT_EQ(testcmc::OutstandingBlocks(), 1);
  EXPECT_EQ(free_(message), CMC_SUCCESS);
  EXPECT_EQ(testcmc::OutstandingBlocks(), 0);
}

TEST_F(stubs_testcmc_store, ReadOfAMessageWithoutTextOrAttachments) {
  const CMC_session_id session = Logon();
  testcmc::Message m = Mail("r", "CMC: IPM", "s", false);
  m.null_text = true;
  testcmc::SetMailbox({m});
  Reference ref("r");
  CMC_message* message = nullptr;
  ASSERT_EQ(read_(session, ref.ref(), 0, &message, 0, nullptr), CMC_SUCCESS);
  EXPECT_EQ(message->text_note, nullptr);
  EXPECT_EQ(message->attachments, nullptr);
  EXPECT_EQ(message->recipients[0].recip_flags, CMC_RECIP_LAST_ELEMENT)
      << "the originator alone is the last recipient";
  EXPECT_EQ(free_(message), CMC_SUCCESS);
}

TEST_F(stubs_testcmc_store, ActOnDeletesOnlyWithTheDeleteOperation) {
  const CMC_session_id session = Logon();
  testcmc::SetMailbox({Mail("x", "CMC: IPM", "1", false), Mail("y", "CMC: IPM", "2", false)});
  Reference x("x"), unknown("zz");
  EXPECT_EQ(act_on_(session, unknown.ref(), CMC_ACT_ON_DELETE, 0, 0, nullptr),
            CMC_E_INVALID_MESSAGE_REFERENCE);
  EXPECT_EQ(act_on_(session, x.ref(), 2, 0, 0, nullptr), CMC_E_UNSUPPORTED_ACTION);
  EXPECT_EQ(testcmc::Mailbox().size(), 2u);
  EXPECT_EQ(act_on_(session, x.ref(), CMC_ACT_ON_DELETE, 0, 0, nullptr), CMC_SUCCESS);
  ASSERT_EQ(testcmc::Mailbox().size(), 1u);
  EXPECT_EQ(testcmc::Mailbox()[0].reference, "y");
  EXPECT_EQ(act_on_(session, x.ref(), CMC_ACT_ON_DELETE, 0, 0, nullptr),
            CMC_E_INVALID_MESSAGE_REFERENCE);
  const testcmc::Call call = testcmc::Calls().back();
  EXPECT_EQ(call.reference, "x");
  EXPECT_EQ(call.operation, CMC_ACT_ON_DELETE);
}

TEST_F(stubs_testcmc_store, FreeAcceptsOnlyBlocksHandedOut) {
  const CMC_session_id session = Logon();
  testcmc::SetMailbox({Mail("x", "CMC: IPM", "1", false)});
  CMC_uint32 count = 0;
  CMC_message_summary* result = List(session, nullptr, 0, &count);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(testcmc::OutstandingBlocks(), 1);
  int foreign = 0;
  EXPECT_EQ(free_(&foreign), CMC_E_INVALID_MEMORY);
  EXPECT_EQ(free_(nullptr), CMC_E_INVALID_MEMORY);
  EXPECT_EQ(free_(result), CMC_SUCCESS);
  EXPECT_EQ(free_(result), CMC_E_INVALID_MEMORY) << "freed twice";
  EXPECT_EQ(testcmc::Calls().back().memory, result);
  EXPECT_EQ(testcmc::OutstandingBlocks(), 0);
}

TEST_F(stubs_testcmc_store, LookUpFindsNobody) {
  const CMC_session_id session = Logon();
  CMC_uint32 count = 5;
  CMC_recipient* found = reinterpret_cast<CMC_recipient*>(&count);
  EXPECT_EQ(look_up_(session, nullptr, 0, 0, &count, &found, nullptr), CMC_SUCCESS);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(found, nullptr);
}

}  // namespace
