// Mail through the maildir provider's C entry points: sending with roles
// and attachments, listing, reading with and without marking, deleting,
// and mail that other programs put into the maildirs.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <ctime>

#include "file_system.h"
#include "maildir/delivery.h"
#include "maildir/mailbox.h"
#include "maildir_test_support.h"

namespace maildir_test {
namespace {

// What a read handed out, copied out of the provider's block.
struct ReadMessage {
  std::string type, subject, text, reference;
  bool has_text = false;
  CMC_time time{};
  CMC_flags flags = 0;
  std::vector<std::pair<std::string, CMC_enum>> recipients;      // name, role
  std::vector<std::pair<std::string, std::string>> attachments;  // title, content
  std::vector<std::string> attachment_files;
};

class MaildirMail : public MaildirTest {
 protected:
  void SetUp() override {
    MaildirTest::SetUp();
    for (const char* name : {"alice", "bob", "carol", "dave"})
      AddAccount(name, "pw-" + std::string(name));
    alice_ = Session("alice", "pw-alice");
  }

  CMC_session_id As(const std::string& name) { return Session(name, "pw-" + name); }

  std::string MakeFile(const std::string& name, const std::string& content) {
    fs::path path = dir_.path() / name;
    WriteAll(path, content);
    return path.string();
  }

  CMC_return_code Send(Outgoing& message, CMC_session_id id = 0) {
    return cmc_.send(id ? id : alice_, message.Build(), 0, 0, nullptr);
  }

  CMC_return_code Read(CMC_session_id id, const std::string& reference, CMC_flags flags,
                       ReadMessage* out) {
    Reference ref(reference);
    CMC_message* m = nullptr;
    CMC_return_code rc = cmc_.read(id, ref.get(), flags, &m, 0, nullptr);
    if (rc != CMC_SUCCESS) return rc;
    out->type = m->message_type ? m->message_type : "";
    out->subject = m->subject ? m->subject : "";
    out->has_text = m->text_note != nullptr;
    out->text = m->text_note ? m->text_note : "";
    out->reference = Bytes(m->message_reference);
    out->time = m->time_sent;
    out->flags = m->message_flags;
    for (const CMC_recipient* r = m->recipients; r; ++r) {
      out->recipients.emplace_back(r->name, r->role);
      if (r->recip_flags & CMC_RECIP_LAST_ELEMENT) break;
    }
    for (const CMC_attachment* a = m->attachments; a; ++a) {
      out->attachments.emplace_back(a->attach_title, ReadAll(a->attach_filename));
      out->attachment_files.push_back(a->attach_filename);
      if (a->attach_flags & CMC_ATT_LAST_ELEMENT) break;
    }
    EXPECT_EQ(cmc_.free(m), CMC_SUCCESS);
    return rc;
  }

  // Puts a message into a mailbox the way a mail transfer agent does:
  // written in tmp, then moved into new.
  void Deliver(const std::string& mailbox, const std::string& unique, const std::string& text) {
    fs::path tmp = Mailbox(mailbox) / "tmp" / unique;
    WriteAll(tmp, text);
    fs::rename(tmp, Mailbox(mailbox) / "new" / unique);
  }

  CMC_session_id alice_ = 0;
};

using Recipients = std::vector<std::pair<std::string, CMC_enum>>;

TEST_F(MaildirMail, EachMailboxGetsOneCopyAndBlindCopiesStayBlind) {
  std::string binary("\x00\x01\xff\r\n\x80 end", 9);
  Outgoing m;
  m.To("bob")
      .To("carol", CMC_ROLE_CC)
      .To("dave", CMC_ROLE_BCC)
      .To("bob@elsewhere.example", CMC_ROLE_CC)
      .Subject("Quarterly numbers")
      .Text("See the attached files.\n")
      .Attach(MakeFile("data.bin", binary), "data.bin")
      .Attach(MakeFile("notes.txt", "line one\r\nline two\n"), "notes.txt");
  ASSERT_EQ(Send(m), CMC_SUCCESS);

  for (const char* name : {"bob", "carol", "dave"}) {
    EXPECT_EQ(FilesIn(Mailbox(name) / "new").size(), 1u) << name;
    EXPECT_TRUE(FilesIn(Mailbox(name) / "tmp").empty()) << name;
  }
  EXPECT_TRUE(FilesIn(Mailbox("alice") / "new").empty());
  // No copy names the blind-copy recipient in its headers.
  std::string stored = ReadAll(Mailbox("carol") / "new" / FilesIn(Mailbox("carol") / "new")[0]);
  EXPECT_EQ(stored.find("dave"), std::string::npos) << stored;

  ReadMessage bob;
  CMC_session_id bob_id = As("bob");
  auto listed = List(bob_id);
  ASSERT_EQ(listed.size(), 1u);
  ASSERT_EQ(Read(bob_id, listed[0].reference, 0, &bob), CMC_SUCCESS);
  EXPECT_EQ(bob.subject, "Quarterly numbers");
  EXPECT_EQ(bob.text, "See the attached files.\n");
  EXPECT_EQ(bob.type, "CMC: IPM");
  EXPECT_EQ(bob.recipients, (Recipients{{"alice", CMC_ROLE_ORIGINATOR},
                                        {"bob", CMC_ROLE_TO},
                                        {"carol", CMC_ROLE_CC},
                                        {"bob@elsewhere.example", CMC_ROLE_CC}}));
  ASSERT_EQ(bob.attachments.size(), 2u);
  EXPECT_EQ(bob.attachments[0], (std::pair<std::string, std::string>{"data.bin", binary}));
  EXPECT_EQ(bob.attachments[1].second, "line one\r\nline two\n");
  EXPECT_EQ(fs::path(bob.attachment_files[1]).filename(), "notes.txt");

  // The blind-copy recipient's own copy knows its recipient.
  ReadMessage dave;
  CMC_session_id dave_id = As("dave");
  ASSERT_EQ(Read(dave_id, List(dave_id).at(0).reference, 0, &dave), CMC_SUCCESS);
  EXPECT_EQ(dave.recipients.back(),
            (std::pair<std::string, CMC_enum>{"dave@" + vel::os::HostName(), CMC_ROLE_BCC}));

  // Extracted attachments go away with the session.
  ASSERT_EQ(cmc_.logoff(bob_id, 0, 0, nullptr), CMC_SUCCESS);
  EXPECT_FALSE(fs::exists(bob.attachment_files[0]));
}

// A subject or message type holding what reads as an encoded word is
// read back as it was typed, not as what the word decodes to.
TEST_F(MaildirMail, TextThatReadsAsAnEncodedWordComesBackAsTyped) {
  const std::string subjects[] = {"=?utf-8?q?literal?=", "Re: =?utf-8?b?eA==?= and more",
                                  "caf\xc3\xa9 =?iso-8859-1?q?a?= \xe2\x82\xac",
                                  "=?" + std::string(80, 'x') + "\xf0\x9f\x98\x80\xc3\xa9?="};
  for (const std::string& subject : subjects) {
    Outgoing m;
    m.To("bob").Subject(subject).Type("=?utf-8?q?t?= " + subject).Text("x\n");
    ASSERT_EQ(Send(m), CMC_SUCCESS) << subject;
  }
  CMC_session_id bob = As("bob");
  auto listed = List(bob);
  ASSERT_EQ(listed.size(), std::size(subjects));
  for (size_t i = 0; i < listed.size(); ++i) {
    ReadMessage read;
    ASSERT_EQ(Read(bob, listed[i].reference, 0, &read), CMC_SUCCESS);
    EXPECT_EQ(read.subject, subjects[i]);
    EXPECT_EQ(read.type, "=?utf-8?q?t?= " + subjects[i]);
  }
}

TEST_F(MaildirMail, AnUnknownRecipientOrBadAttachmentDeliversNothing) {
  Outgoing unknown;
  unknown.To("bob").To("carol", CMC_ROLE_CC).To("nobody", CMC_ROLE_CC).Subject("x");
  EXPECT_EQ(Send(unknown), CMC_E_RECIPIENT_NOT_FOUND);

  Outgoing missing;
  missing.To("bob").Attach((dir_.path() / "absent.txt").string(), "absent.txt");
  EXPECT_EQ(Send(missing), CMC_E_ATTACHMENT_NOT_FOUND);

  Outgoing directory;
  directory.To("bob").Attach(dir_.path().string(), "dir");
  EXPECT_EQ(Send(directory), CMC_E_ATTACHMENT_OPEN_FAILURE);

  Outgoing nobody;
  nobody.Subject("no recipients");
  EXPECT_NE(Send(nobody), CMC_SUCCESS);

  for (const char* name : {"bob", "carol"}) {
    EXPECT_TRUE(FilesIn(Mailbox(name) / "new").empty()) << name;
    EXPECT_TRUE(FilesIn(Mailbox(name) / "tmp").empty()) << name;
  }
}

TEST_F(MaildirMail, ListingFollowsDeliveryOrderTypesUnreadAndCounts) {
  const char* types[] = {"CMC: IPM", "IPM.Custom: Report", "CMC: IPM", "CMC: IPM"};
  for (int i = 0; i < 4; ++i) {
    Outgoing m;
    m.To("bob").Subject("message " + std::to_string(i)).Type(types[i]).Text("body");
    ASSERT_EQ(Send(m), CMC_SUCCESS);
  }
  CMC_session_id bob = As("bob");
  auto all = List(bob);
  ASSERT_EQ(all.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(all[i].subject, "message " + std::to_string(i));
    EXPECT_EQ(all[i].type, types[i]);
    EXPECT_EQ(all[i].sender, "alice");
    EXPECT_EQ(all[i].flags & CMC_SUM_READ, 0u);
    EXPECT_EQ(all[i].length, fs::file_size(Mailbox("bob") / "new" / all[i].reference));
    EXPECT_LE(all[i].reference.size(), 256u);
  }

  auto ipm = List(bob, "CMC: IPM");
  ASSERT_EQ(ipm.size(), 3u);
  EXPECT_EQ(ipm[1].subject, "message 2");
  auto custom = List(bob, "IPM.Custom: Report");
  ASSERT_EQ(custom.size(), 1u);
  EXPECT_EQ(custom[0].subject, "message 1");
  auto first = List(bob, nullptr, 0, 1);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].reference, all[0].reference);
  EXPECT_EQ(List(bob, nullptr, 0, 3).size(), 3u);

  ReadMessage read;
  ASSERT_EQ(Read(bob, all[0].reference, 0, &read), CMC_SUCCESS);
  ASSERT_EQ(Read(bob, all[2].reference, 0, &read), CMC_SUCCESS);
  auto unread = List(bob, nullptr, CMC_LIST_UNREAD_ONLY);
  ASSERT_EQ(unread.size(), 2u);
  EXPECT_EQ(unread[0].reference, all[1].reference);
  EXPECT_EQ(unread[1].reference, all[3].reference);
  EXPECT_EQ(List(bob, "CMC: IPM", CMC_LIST_UNREAD_ONLY, 1).at(0).reference, all[3].reference);
  // Reading changed neither the order nor the references.
  auto again = List(bob);
  ASSERT_EQ(again.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(again[i].reference, all[i].reference);
    EXPECT_EQ((again[i].flags & CMC_SUM_READ) != 0, i == 0 || i == 2) << i;
  }

  // A seed starts the listing after the message it names.
  Reference seed(all[1].reference);
  CMC_uint32 count = 0;
  CMC_message_summary* after = nullptr;
  ASSERT_EQ(cmc_.list(bob, nullptr, 0, seed.get(), &count, 0, &after, nullptr), CMC_SUCCESS);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(Bytes(after[0].message_reference), all[2].reference);
  cmc_.free(after);
}

TEST_F(MaildirMail, ReadingMarksUnlessAskedNotTo) {
  Outgoing m;
  m.To("bob").Subject("peek at me").Text("text");
  ASSERT_EQ(Send(m), CMC_SUCCESS);
  CMC_session_id bob = As("bob");
  std::string ref = List(bob).at(0).reference;

  ReadMessage peek;
  ASSERT_EQ(Read(bob, ref, CMC_DO_NOT_MARK_AS_READ, &peek), CMC_SUCCESS);
  EXPECT_EQ(peek.reference, ref);
  EXPECT_EQ(peek.flags & 0x1u, 0u);
  EXPECT_EQ(FilesIn(Mailbox("bob") / "new"), std::vector<std::string>{ref});
  EXPECT_EQ(List(bob, nullptr, CMC_LIST_UNREAD_ONLY).size(), 1u);

  // A listing the caller still holds keeps the flags it was handed; the
  // next one shows the mark.
  CMC_uint32 count = 0;
  CMC_message_summary* held = nullptr;
  ASSERT_EQ(cmc_.list(bob, nullptr, 0, nullptr, &count, 0, &held, nullptr), CMC_SUCCESS);
  ASSERT_EQ(count, 1u);
  ReadMessage read;
  ASSERT_EQ(Read(bob, ref, 0, &read), CMC_SUCCESS);
  EXPECT_EQ(read.flags & 0x1u, 0x1u);
  EXPECT_EQ(held[0].summary_flags, CMC_SUM_LAST_ELEMENT);
  EXPECT_EQ(List(bob).at(0).flags & CMC_SUM_READ, CMC_SUM_READ);
  EXPECT_EQ(cmc_.free(held), CMC_SUCCESS);
  EXPECT_TRUE(FilesIn(Mailbox("bob") / "new").empty());
  EXPECT_EQ(FilesIn(Mailbox("bob") / "cur"), std::vector<std::string>{ref + ":2,S"});
  EXPECT_TRUE(List(bob, nullptr, CMC_LIST_UNREAD_ONLY).empty());
  // Still readable by the same reference once read.
  ASSERT_EQ(Read(bob, ref, 0, &read), CMC_SUCCESS);
  EXPECT_EQ(read.subject, "peek at me");
}

TEST_F(MaildirMail, DeleteRemovesAndStaleReferencesAreRefused) {
  for (int i = 0; i < 2; ++i) {
    Outgoing m;
    m.To("bob").Subject("m" + std::to_string(i));
    ASSERT_EQ(Send(m), CMC_SUCCESS);
  }
  CMC_session_id bob = As("bob");
  auto all = List(bob);
  ASSERT_EQ(all.size(), 2u);
  ReadMessage read;
  ASSERT_EQ(Read(bob, all[1].reference, 0, &read), CMC_SUCCESS);  // now in cur

  Reference first(all[0].reference), second(all[1].reference);
  EXPECT_EQ(cmc_.act_on(bob, first.get(), 2, 0, 0, nullptr), CMC_E_UNSUPPORTED_ACTION);
  EXPECT_EQ(cmc_.act_on(bob, first.get(), CMC_ACT_ON_DELETE, 0, 0, nullptr), CMC_SUCCESS);
  EXPECT_EQ(cmc_.act_on(bob, second.get(), CMC_ACT_ON_DELETE, 0, 0, nullptr), CMC_SUCCESS);
  EXPECT_TRUE(List(bob).empty());
  EXPECT_EQ(cmc_.act_on(bob, first.get(), CMC_ACT_ON_DELETE, 0, 0, nullptr),
            CMC_E_INVALID_MESSAGE_REFERENCE);
  EXPECT_EQ(Read(bob, all[0].reference, 0, &read), CMC_E_INVALID_MESSAGE_REFERENCE);
  for (const char* bogus : {"", "../passwd", "nothing-like-it"})
    EXPECT_EQ(Read(bob, bogus, 0, &read), CMC_E_INVALID_MESSAGE_REFERENCE) << bogus;

  // Another session's mailbox is out of reach of its references.
  Outgoing m;
  m.To("carol").Subject("for carol");
  ASSERT_EQ(Send(m), CMC_SUCCESS);
  std::string carols = List(As("carol")).at(0).reference;
  EXPECT_EQ(Read(bob, carols, 0, &read), CMC_E_INVALID_MESSAGE_REFERENCE);
}

// A message as another mail program would have delivered it: encoded
// words, quoted-printable Latin-1 text, an HTML alternative and a base64
// attachment with an RFC 2231 file name.
constexpr char kForeign[] =
    "Return-Path: <zoe@example.org>\n"
    "Delivered-To: bob@example.org\n"
    "From: =?UTF-8?Q?Zo=C3=AB_Sch=C3=BCtz?= <zoe@example.org>\n"
    "To: Bob <bob@example.org>\n"
    "Cc: carol@example.org, Team: dave@example.org;\n"
    "Subject: =?ISO-8859-1?Q?Gr=FC=DFe?= aus\n =?UTF-8?B?WsO8cmljaA==?=\n"
    "Date: Tue, 14 Mar 2006 09:05:07 +0000\n"
    "Message-ID: <abc@example.org>\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"outer\"\n"
    "\n"
    "preamble\n"
    "--outer\n"
    "Content-Type: multipart/alternative; boundary=\"inner\"\n"
    "\n"
    "--inner\n"
    "Content-Type: text/plain; charset=iso-8859-1\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "Sch=F6ne Gr=FC=DFe,=\n"
    " Zo=EB\n"
    "--inner\n"
    "Content-Type: text/html; charset=utf-8\n"
    "\n"
    "<p>Sch\xc3\xb6ne Gr\xc3\xbc\xc3\x9f"
    "e</p>\n"
    "--inner--\n"
    "--outer\n"
    "Content-Type: application/octet-stream\n"
    "Content-Disposition: attachment; filename*=UTF-8''r%C3%A9sum%C3%A9.bin\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "AAECA/8=\n"
    "--outer--\n";

TEST_F(MaildirMail, MailDeliveredByAnotherProgramIsListedAndRead) {
  Deliver("bob", "1142327107.M20P999.mx.example.org", kForeign);
  CMC_session_id bob = As("bob");
  auto listed = List(bob);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].reference, "1142327107.M20P999.mx.example.org");
  EXPECT_EQ(listed[0].subject,
            "Gr\xc3\xbc\xc3\x9f"
            "e aus Z\xc3\xbcrich");
  EXPECT_EQ(listed[0].sender, "Zo\xc3\xab Sch\xc3\xbctz");
  EXPECT_EQ(listed[0].type, "CMC: IPM");

  ReadMessage m;
  ASSERT_EQ(Read(bob, listed[0].reference, 0, &m), CMC_SUCCESS);
  // The line end before a boundary belongs to the boundary.
  EXPECT_EQ(m.text,
            "Sch\xc3\xb6ne Gr\xc3\xbc\xc3\x9f"
            "e, Zo\xc3\xab");
  EXPECT_EQ(m.recipients, (Recipients{{"Zo\xc3\xab Sch\xc3\xbctz", CMC_ROLE_ORIGINATOR},
                                      {"Bob", CMC_ROLE_TO},
                                      {"carol@example.org", CMC_ROLE_CC},
                                      {"dave@example.org", CMC_ROLE_CC}}));
  ASSERT_EQ(m.attachments.size(), 1u);  // the HTML alternative is not one
  EXPECT_EQ(m.attachments[0].first, "r\xc3\xa9sum\xc3\xa9.bin");
  EXPECT_EQ(m.attachments[0].second, std::string("\x00\x01\x02\x03\xff", 5));
  // The time sent as the library reads it: years since 1900, months 0-11.
  EXPECT_EQ(m.time.year, 106);
  EXPECT_EQ(m.time.month, 2);
  EXPECT_EQ(m.time.day, 14);
  EXPECT_EQ(m.time.hour, 9);
  EXPECT_EQ(m.time.minute, 5);
  EXPECT_EQ(m.time.second, 7);
  // Read by another program's rules: moved to cur with flag S.
  EXPECT_EQ(FilesIn(Mailbox("bob") / "cur"),
            std::vector<std::string>{"1142327107.M20P999.mx.example.org:2,S"});
}

TEST_F(MaildirMail, ForeignFlagsAndOrderAreRespected) {
  fs::path cur = Mailbox("bob") / "cur";
  WriteAll(cur / "1000000002.P1.host:2,FS", "Subject: second, flagged and seen\n\nb\n");
  WriteAll(cur / "1000000001.P1.host:2,", "Subject: first, unseen\n\na\n");
  Deliver("bob", "1000000003.P1.host", "Subject: third\n\nc\n");
  WriteAll(Mailbox("bob") / "new" / ".hidden", "Subject: not a message\n\n");
  CMC_session_id bob = As("bob");
  auto all = List(bob);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].subject, "first, unseen");
  EXPECT_EQ(all[1].subject, "second, flagged and seen");
  EXPECT_EQ(all[1].flags & CMC_SUM_READ, CMC_SUM_READ);
  EXPECT_EQ(all[2].subject, "third");
  ReadMessage m;
  ASSERT_EQ(Read(bob, all[0].reference, 0, &m), CMC_SUCCESS);
  EXPECT_TRUE(fs::exists(cur / "1000000001.P1.host:2,S"));
  ASSERT_EQ(Read(bob, all[1].reference, 0, &m), CMC_SUCCESS);
  EXPECT_TRUE(fs::exists(cur / "1000000002.P1.host:2,FS"));  // flags kept
  // A message deleted behind the provider's back is simply gone.
  fs::remove(cur / "1000000002.P1.host:2,FS");
  EXPECT_EQ(List(bob).size(), 2u);
}

TEST_F(MaildirMail, MalformedMailIsReadAsWellAsItCanBe) {
  const std::string samples[] = {
      "",
      "\n\n\n",
      std::string("\x00\xff\xfe garbage \x01\x02", 14),
      "Subject: no body at all",
      "Subject: =?UTF-8?B?broken base64 ===?=\nFrom: <<<@@@>>>\nDate: the day after tomorrow\n\nx",
      "Content-Type: multipart/mixed; boundary=\"never\"\n\n--wrong\nContent-Type: "
      "text/plain\n\nlost\n",
      "Content-Type: multipart/mixed\n\nno boundary parameter\n",
      "Content-Type: text/plain; charset=no-such-charset\nContent-Transfer-Encoding: "
      "base64\n\n%%%%\n",
      "Content-Type: message/rfc822\n\nSubject: inner\n\ninner body\n",
      "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: "
      "application/pdf\nContent-Transfer-Encoding: base64\n\nJVBERi0=\n--b",
      std::string(70000, 'X') + "\n\nlong first line",
  };
  int i = 0;
  for (const std::string& sample : samples)
    Deliver("bob", "1200000000.M" + std::to_string(i++) + "P1.test", sample);
  CMC_session_id bob = As("bob");
  auto all = List(bob);
  ASSERT_EQ(all.size(), std::size(samples));
  for (const auto& listed : all) {
    ReadMessage m;
    EXPECT_EQ(Read(bob, listed.reference, 0, &m), CMC_SUCCESS) << listed.reference;
  }
  // What could be made out of them is still there.
  ReadMessage rfc822;
  ASSERT_EQ(Read(bob, all[8].reference, 0, &rfc822), CMC_SUCCESS);
  ASSERT_EQ(rfc822.attachments.size(), 1u);
  EXPECT_NE(rfc822.attachments[0].second.find("inner body"), std::string::npos);
  ReadMessage pdf;
  ASSERT_EQ(Read(bob, all[9].reference, 0, &pdf), CMC_SUCCESS);
  ASSERT_EQ(pdf.attachments.size(), 1u);
  EXPECT_EQ(pdf.attachments[0].second, "%PDF-");
}

// A message of tests/data/mail, as other mail programs write them.
std::string MailFile(const std::string& name) {
  return ReadAll(fs::path(VEL_TEST_MAIL_DIR) / name);
}

using Attachments = std::vector<std::pair<std::string, std::string>>;  // title, content

TEST_F(MaildirMail, EveryPartButAnotherRenderingOfTheTextReachesTheReader) {
  struct Case {
    const char* file;
    std::string text;
    Attachments attachments;
  };
  const Case cases[] = {
      {"two_text_parts.eml", "One", {{"attachment1.txt", "Two"}}},
      // A later text part keeps its charset in its file; HTML is a file too.
      {"text_after_attachment.eml",
       "Intro",
       {{"report.pdf", "%PDF-1.4 report"},
        {"attachment2.txt",
         "Gr\xfc\xdf"
         "e"},
        {"attachment3.html", "<p>notes</p>"}}},
      // The HTML rendering and its inline image are left out, but not the
      // file marked as an attachment inside it, the signature or the
      // forwarded message.
      {"alternative_and_more.eml",
       "Hello",
       {{"terms.pdf", "%PDF terms"},
        {"attachment2.txt", "Signature"},
        {"message3.eml", "From: someone@example.org\nSubject: forwarded\n\ninner text"}}},
  };
  int i = 0;
  for (const Case& c : cases)
    Deliver("bob", "1400000000.M" + std::to_string(i++) + "P1.corpus", MailFile(c.file));
  CMC_session_id bob = As("bob");
  auto listed = List(bob);
  ASSERT_EQ(listed.size(), std::size(cases));
  for (size_t n = 0; n < listed.size(); ++n) {
    SCOPED_TRACE(cases[n].file);
    ReadMessage m;
    ASSERT_EQ(Read(bob, listed[n].reference, CMC_DO_NOT_MARK_AS_READ, &m), CMC_SUCCESS);
    EXPECT_EQ(m.text, cases[n].text);
    EXPECT_EQ(m.attachments, cases[n].attachments);
  }
}

TEST_F(MaildirMail, MalformedMailIsReadAsTheMailStandardsRecommend) {
  struct Case {
    const char* file;
    std::string subject, text;
    Recipients originator;  // none, or the one a listing names too
    int hour = 0, minute = 0;
  };
  const Case cases[] = {
      // "text" without a subtype is plain text, its charset honoured.
      {"bare_text_type.eml",
       "bare text type",
       "Gr\xc3\xbc\xc3\x9f"
       "e\n",
       {{"batch@example.org", CMC_ROLE_ORIGINATOR}}},
      // A multipart without its boundary is its raw text.
      {"lost_boundary.eml",
       "lost boundary",
       "--wrong\nContent-Type: text/plain\n\nlost\n",
       {{"batch@example.org", CMC_ROLE_ORIGINATOR}}},
      {"no_boundary_parameter.eml",
       "no boundary parameter",
       "raw text\n",
       {{"batch@example.org", CMC_ROLE_ORIGINATOR}}},
      // Without the empty line, the first line that is no header field
      // begins the body; without any header, all is body.
      {"no_blank_line.eml",
       "no blank line",
       "This line starts the body.\r\nSecond line.\r\n",
       {{"batch@example.org", CMC_ROLE_ORIGINATOR}}},
      {"no_header.eml", "", "Disk d: 20 GB free.\nNothing else to say.\n", {}},
      // A bounce's null sender is there, by its name or as "<>"; a time
      // without seconds keeps its hours and minutes.
      {"null_sender.eml",
       "Undelivered Mail Returned to Sender",
       "The mail could not be delivered.\n",
       {{"MAILER-DAEMON", CMC_ROLE_ORIGINATOR}},
       9,
       5},
      {"null_sender_bare.eml", "bounce", "bounced\n", {{"<>", CMC_ROLE_ORIGINATOR}}, 17, 45},
  };
  int i = 0;
  for (const Case& c : cases)
    Deliver("bob", "1400000000.M" + std::to_string(i++) + "P1.malformed", MailFile(c.file));
  CMC_session_id bob = As("bob");
  auto listed = List(bob);
  ASSERT_EQ(listed.size(), std::size(cases));
  for (size_t n = 0; n < listed.size(); ++n) {
    const Case& c = cases[n];
    SCOPED_TRACE(c.file);
    EXPECT_EQ(listed[n].subject, c.subject);
    EXPECT_EQ(listed[n].sender, c.originator.empty() ? "" : c.originator[0].first);
    ReadMessage m;
    ASSERT_EQ(Read(bob, listed[n].reference, 0, &m), CMC_SUCCESS);
    EXPECT_EQ(m.subject, c.subject);
    EXPECT_TRUE(m.has_text);
    EXPECT_EQ(m.text, c.text);
    EXPECT_TRUE(m.attachments.empty());
    Recipients originator;
    for (const auto& r : m.recipients)
      if (r.second == CMC_ROLE_ORIGINATOR) originator.push_back(r);
    EXPECT_EQ(originator, c.originator);
    if (c.hour || c.minute) {
      EXPECT_EQ(m.time.hour, c.hour);
      EXPECT_EQ(m.time.minute, c.minute);
      EXPECT_EQ(m.time.second, 0);
      EXPECT_EQ(m.time.day, 7);
    }
  }
}

// Whether text is UTF-8 through and through.
bool IsUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

// Text whose bytes its charset cannot decode reaches the reader as valid
// UTF-8, each byte or cut sequence that could not be decoded a U+FFFD (as
// Python's email reads it; a charset not known is read as UTF-8), and so do
// its subject and sender.
TEST_F(MaildirMail, UndecodableTextIsReplacedNotDroppedOrPassedThrough) {
  const std::string fffd = "\xef\xbf\xbd";
  struct Case {
    const char* file;
    std::string text;
  };
  const Case cases[] = {
      {"latin1_as_ascii.eml", "K" + fffd + "ln und Stra" + fffd + "e\n"},
      {"latin1_as_utf8.eml", "K" + fffd + "ln " + fffd + "\nPreis 5 " + fffd},
      {"unknown_charset.eml", "caf" + fffd + " au lait\n"},
      {"undefined_in_charset.eml", "\xe2\x80\x9cquoted\xe2\x80\x9d " + fffd + " caf\xc3\xa9\n"},
  };
  int i = 0;
  for (const Case& c : cases)
    Deliver("bob", "1400000000.M" + std::to_string(i++) + "P1.charset", MailFile(c.file));
  CMC_session_id bob = As("bob");
  auto listed = List(bob);
  ASSERT_EQ(listed.size(), std::size(cases));
  for (size_t n = 0; n < listed.size(); ++n) {
    SCOPED_TRACE(cases[n].file);
    EXPECT_TRUE(IsUtf8(listed[n].subject)) << listed[n].subject;
    EXPECT_TRUE(IsUtf8(listed[n].sender)) << listed[n].sender;
    ReadMessage m;
    ASSERT_EQ(Read(bob, listed[n].reference, CMC_DO_NOT_MARK_AS_READ, &m), CMC_SUCCESS);
    EXPECT_EQ(m.text, cases[n].text);
    EXPECT_TRUE(IsUtf8(m.subject)) << m.subject;
    for (const auto& r : m.recipients) EXPECT_TRUE(IsUtf8(r.first)) << r.first;
  }
  // Raw latin-1 and a latin-1 byte in an ASCII encoded word, in the subject.
  EXPECT_EQ(listed[0].subject.rfind("K", 0), 0u) << listed[0].subject;
  EXPECT_NE(listed[0].subject.find("ln und Stra"), std::string::npos) << listed[0].subject;
}

// A part whose header block no empty line ends keeps its content: the
// block ends at its first line that is no header field, as a message's does,
// in every part and nested multipart, and a part without any header is all
// body (as Python's email reads it).
TEST_F(MaildirMail, APartsHeaderWithoutItsEmptyLineEndsWhereTheBodyBegins) {
  Deliver("bob", "1400000000.M1P1.parts", MailFile("part_heads_without_blank_line.eml"));
  CMC_session_id bob = As("bob");
  ReadMessage m;
  ASSERT_EQ(Read(bob, "1400000000.M1P1.parts", 0, &m), CMC_SUCCESS);
  EXPECT_EQ(m.text, "The text begins here.\nSecond line.");
  EXPECT_EQ(m.attachments, (Attachments{{"data.bin", "Hello, attachment!"},
                                        {"attachment2.txt", "Plain rendering"},
                                        {"attachment3.txt", "A part without any header."}}));
}

// A listing seeded with a message that is gone -- deleted by the session, by
// another program, or before the session began -- goes on from the next
// message in delivery order; a seed that names no place at all is refused.
TEST_F(MaildirMail, AListingSeededWithAMessageGoneGoesOnFromTheNextOne) {
  for (int i = 1; i <= 5; ++i)
    Deliver("bob", "130000000" + std::to_string(i) + ".M1P1.walk",
            "Subject: " + std::to_string(i) + "\n\nx\n");
  CMC_session_id bob = As("bob");
  auto all = List(bob);
  ASSERT_EQ(all.size(), 5u);
  const auto after = [&](const std::string& seed_bytes, CMC_return_code* rc) {
    Reference seed(seed_bytes);
    CMC_uint32 count = 0;
    CMC_message_summary* listed = nullptr;
    *rc = cmc_.list(bob, nullptr, 0, seed.get(), &count, 0, &listed, nullptr);
    std::vector<std::string> references;
    for (CMC_uint32 i = 0; i < count; ++i) references.push_back(Bytes(listed[i].message_reference));
    if (listed != nullptr) cmc_.free(listed);
    return references;
  };
  CMC_return_code rc = 0;
  Reference second(all[1].reference);
  ASSERT_EQ(cmc_.act_on(bob, second.get(), CMC_ACT_ON_DELETE, 0, 0, nullptr), CMC_SUCCESS);
  EXPECT_EQ(after(all[1].reference, &rc),
            (std::vector<std::string>{all[2].reference, all[3].reference, all[4].reference}));
  EXPECT_EQ(rc, CMC_SUCCESS);
  fs::remove(Mailbox("bob") / "new" / all[3].reference);
  EXPECT_EQ(after(all[3].reference, &rc), std::vector<std::string>{all[4].reference});
  EXPECT_EQ(rc, CMC_SUCCESS);
  // The last message gone: nothing follows.
  ASSERT_EQ(cmc_.act_on(bob, Reference(all[4].reference).get(), CMC_ACT_ON_DELETE, 0, 0, nullptr),
            CMC_SUCCESS);
  EXPECT_TRUE(after(all[4].reference, &rc).empty());
  EXPECT_EQ(rc, CMC_SUCCESS);
  // A new session never saw the first message; its name places it.
  ASSERT_EQ(cmc_.act_on(bob, Reference(all[0].reference).get(), CMC_ACT_ON_DELETE, 0, 0, nullptr),
            CMC_SUCCESS);
  bob = As("bob");
  EXPECT_EQ(after(all[0].reference, &rc), std::vector<std::string>{all[2].reference});
  EXPECT_EQ(rc, CMC_SUCCESS);
  after("no such message", &rc);
  EXPECT_EQ(rc, CMC_E_INVALID_MESSAGE_REFERENCE);
}

TEST_F(MaildirMail, AttachmentsAreSavedUnderShortFoldersOncePerMessage) {
  Deliver("bob", "1400000000.M1P1.five", MailFile("five_attachments.eml"));
  Deliver("bob", "1400000000.M2P1.two", MailFile("two_text_parts.eml"));
  CMC_session_id bob = As("bob");
  ReadMessage five, again, two;
  ASSERT_EQ(Read(bob, "1400000000.M1P1.five", 0, &five), CMC_SUCCESS);
  ASSERT_EQ(Read(bob, "1400000000.M2P1.two", 0, &two), CMC_SUCCESS);
  ASSERT_EQ(Read(bob, "1400000000.M1P1.five", 0, &again), CMC_SUCCESS);
  ASSERT_EQ(five.attachment_files.size(), 5u);
  // ROOT/.attachments/<pid>.<session>/<number>/<title>
  const std::string session = std::to_string(vel::os::ProcessId()) + "." + std::to_string(bob);
  for (size_t i = 0; i < 5; ++i) {
    const std::string title = "disk-report-" + std::to_string(i + 1) + ".csv";
    EXPECT_EQ(five.attachment_files[i], (root_ / ".attachments" / session / "1" / title).string());
    EXPECT_EQ(five.attachments[i].second, "disk,free\nc," + std::to_string(i + 1));
  }
  // A message read again keeps its folder; another gets the next one.
  EXPECT_EQ(again.attachment_files, five.attachment_files);
  EXPECT_EQ(two.attachment_files,
            std::vector<std::string>{(root_ / ".attachments" / session / "2" / "attachment1.txt")});
}

// Builds a message with the given attachments as another mail program
// would: each a base64 part named by its title.
std::string WithAttachments(const std::vector<std::pair<std::string, std::string>>& parts) {
  std::string text =
      "From: zoe@example.org\nSubject: files\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nsee\n";
  for (const auto& [title, content] : parts) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    for (size_t i = 0; i < content.size(); i += 3) {
      uint32_t v = static_cast<uint8_t>(content[i]) << 16;
      if (i + 1 < content.size()) v |= static_cast<uint8_t>(content[i + 1]) << 8;
      if (i + 2 < content.size()) v |= static_cast<uint8_t>(content[i + 2]);
      encoded += kAlphabet[(v >> 18) & 63];
      encoded += kAlphabet[(v >> 12) & 63];
      encoded += i + 1 < content.size() ? kAlphabet[(v >> 6) & 63] : '=';
      encoded += i + 2 < content.size() ? kAlphabet[v & 63] : '=';
    }
    text +=
        "--b\nContent-Type: application/octet-stream\nContent-Disposition: attachment; "
        "filename=\"" +
        title + "\"\nContent-Transfer-Encoding: base64\n\n" + encoded + "\n";
  }
  return text + "--b--\n";
}

TEST_F(MaildirMail, AMessageOverTheSizeLimitIsRefusedWholeAndBigOnesNeedNoMemory) {
  vel::os::SetEnvironmentVariable("VELCMC_MAX_MESSAGE_BYTES", "100000");
  Outgoing raw;  // over the limit before encoding
  raw.To("bob").To("carol").Attach(MakeFile("big.bin", std::string(150000, 'b')), "big.bin");
  EXPECT_EQ(Send(raw), CMC_E_TEXT_TOO_LARGE);
  Outgoing encoded;  // under it before encoding, over it once in base64
  encoded.To("bob").To("carol").Attach(MakeFile("mid.bin", std::string(90000, 'm')), "mid.bin");
  EXPECT_EQ(Send(encoded), CMC_E_TEXT_TOO_LARGE);
  Outgoing text;
  text.To("bob").Text(std::string(100001, 't'));
  EXPECT_EQ(Send(text), CMC_E_TEXT_TOO_LARGE);
  for (const char* name : {"bob", "carol"}) {
    EXPECT_TRUE(FilesIn(Mailbox(name) / "new").empty()) << name;
    EXPECT_TRUE(FilesIn(Mailbox(name) / "tmp").empty()) << name;
  }
  // A stored message over the limit is not read either.
  Deliver("bob", "1300000000.M1P1.big", "Subject: big\n\n" + std::string(100000, 'x'));
  CMC_session_id bob = As("bob");
  ReadMessage m;
  EXPECT_EQ(Read(bob, "1300000000.M1P1.big", 0, &m), CMC_E_TEXT_TOO_LARGE);
  EXPECT_EQ(List(bob, nullptr, CMC_LIST_UNREAD_ONLY).size(), 1u);
  vel::os::SetEnvironmentVariable("VELCMC_MAX_MESSAGE_BYTES", nullptr);
  fs::remove(Mailbox("bob") / "new" / "1300000000.M1P1.big");

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a limit on address space does not fit the sanitizers' shadow memory";
#else
  // A 40 MB attachment to two mailboxes, with 64 MB of address space to
  // spare: the message never passes through memory.
  const std::string attachment = MakeFile("rows.txt", std::string(40 << 20, 'r'));
  EXPECT_EXIT(
      {
        Outgoing warm;  // GMime's set-up happens before the limit
        warm.To("dave").Text("warm up\n");
        if (Send(warm) != CMC_SUCCESS) std::_Exit(2);
        std::string status = ReadAll("/proc/self/status");
        size_t at = status.find("VmSize:");
        if (at == std::string::npos) std::_Exit(3);
        long long kb = std::atoll(status.c_str() + at + 7);
        std::string limit = "prlimit --pid " + std::to_string(vel::os::ProcessId()) +
                            " --as=" + std::to_string((kb + 64 * 1024) * 1024);
        if (std::system(limit.c_str()) != 0) std::_Exit(4);
        Outgoing big;
        big.To("bob").To("carol").Subject("rows").Attach(attachment, "rows.txt");
        CMC_return_code rc = Send(big);
        std::_Exit(rc == CMC_SUCCESS ? 0 : 10 + static_cast<int>(rc));
      },
      ::testing::ExitedWithCode(0), "");
  for (const char* name : {"bob", "carol"}) {
    auto names = FilesIn(Mailbox(name) / "new");
    ASSERT_EQ(names.size(), 1u) << name;
    EXPECT_TRUE(FilesIn(Mailbox(name) / "tmp").empty()) << name;
  }
  CMC_session_id carol = As("carol");
  ReadMessage rows;
  ASSERT_EQ(Read(carol, List(carol).at(0).reference, 0, &rows), CMC_SUCCESS);
  ASSERT_EQ(rows.attachments.size(), 1u);
  EXPECT_TRUE(rows.attachments[0].second == std::string(40 << 20, 'r'));
#endif
}

TEST_F(MaildirMail, AReadMarksOnlyWhenItSucceedsAndAttachmentNamesNeverClash) {
  const std::string long_title = std::string(300, 'n') + ".csv";
  Deliver("bob", "1300000000.M1P1.files",
          WithAttachments({{long_title, "long"},
                           {"same.txt", "first"},
                           {"same.txt", "second"},
                           {"2-same.txt", "third"}}));
  // Where attachments go cannot be made: the read fails, the message stays
  // unread.
  WriteAll(root_ / ".attachments", "in the way");
  CMC_session_id bob = As("bob");
  ReadMessage m;
  EXPECT_EQ(Read(bob, "1300000000.M1P1.files", 0, &m), CMC_E_ATTACHMENT_OPEN_FAILURE);
  EXPECT_EQ(FilesIn(Mailbox("bob") / "new"), std::vector<std::string>{"1300000000.M1P1.files"});
  EXPECT_EQ(List(bob, nullptr, CMC_LIST_UNREAD_ONLY).size(), 1u);

  fs::remove(root_ / ".attachments");
  ASSERT_EQ(Read(bob, "1300000000.M1P1.files", 0, &m), CMC_SUCCESS);
  EXPECT_EQ(m.flags & 0x1u, 0x1u);
  EXPECT_TRUE(List(bob, nullptr, CMC_LIST_UNREAD_ONLY).empty());
  ASSERT_EQ(m.attachments.size(), 4u);
  std::vector<std::string> contents, files;
  for (size_t i = 0; i < 4; ++i) {
    contents.push_back(m.attachments[i].second);
    files.push_back(m.attachment_files[i]);
  }
  EXPECT_EQ(contents, (std::vector<std::string>{"long", "first", "second", "third"}));
  std::sort(files.begin(), files.end());
  EXPECT_EQ(std::unique(files.begin(), files.end()), files.end());
  // The long title is shortened to what a file name can hold, its
  // extension kept; the title itself is handed out whole.
  const std::string shortened = fs::path(m.attachment_files[0]).filename().string();
  EXPECT_LE(shortened.size(), 255u);
  EXPECT_EQ(fs::path(shortened).extension(), ".csv");
  EXPECT_EQ(m.attachments[0].first, long_title);
}

// Ends the process right after the file system's N-th rename, as a crash
// would end it.
class KillAfterRename : public vel::os::FileSystemWrapper {
 public:
  explicit KillAfterRename(int n) : FileSystemWrapper(vel::os::SystemFileSystem()), left_(n) {}
  bool Rename(const char* from, const char* to) override {
    const bool ok = FileSystemWrapper::Rename(from, to);
    if (--left_ == 0) vel::os::KillThisProcess();
    return ok;
  }

 private:
  std::atomic<int> left_;
};

// Delivers message to bob, carol and dave of root: one copy written, two
// linked. Ends the process on a failure.
void StageAndCommit(const fs::path& root, const std::string& message) {
  velcmc::Delivery delivery(root);
  velcmc::Mailbox bob(root / "bob");
  velcmc::Mailbox carol(root / "carol");
  velcmc::Mailbox dave(root / "dave");
  if (!bob.Create() || !carol.Create() || !dave.Create()) std::_Exit(1);
  if (delivery.Stage(bob, "", message) || delivery.StageLink(carol) || delivery.StageLink(dave))
    std::_Exit(1);
  delivery.Commit();
}

TEST_F(MaildirMail, ADeliveryKilledHalfWayIsCompletedAtTheNextLogonOfAnyAccount) {
  const std::string message =
      "From: alice\r\nSubject: all or nothing\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
      "Content-Type: text/plain\r\n\r\none copy each\r\n--b\r\n"
      "Content-Type: application/octet-stream\r\n"
      "Content-Disposition: attachment; filename=data.bin\r\n\r\n" +
      std::string(300000, 'd') + "\r\n--b--\r\n";
  // The delivering process dies right after the first copy is moved into
  // new (the journal's move under its own name comes first).
  EXPECT_EXIT(
      {
        KillAfterRename crash(2);
        vel::os::ReplaceFiles(&crash);
        StageAndCommit(root_, message);
        std::_Exit(0);
      },
      ::testing::KilledBySignal(SIGKILL), "");
  EXPECT_EQ(FilesIn(Mailbox("bob") / "new").size(), 1u);
  EXPECT_EQ(FilesIn(Mailbox("carol") / "tmp").size(), 1u);
  EXPECT_EQ(FilesIn(Mailbox("dave") / "tmp").size(), 1u);

  // Any account's logon (here one the message was not for) finishes it.
  As("alice");
  for (const char* name : {"bob", "carol", "dave"}) {
    EXPECT_EQ(FilesIn(Mailbox(name) / "new").size(), 1u) << name;
    EXPECT_TRUE(FilesIn(Mailbox(name) / "tmp").empty()) << name;
  }
  EXPECT_TRUE(FilesIn(root_ / ".deliveries").empty());
  CMC_session_id dave = As("dave");
  ReadMessage read;
  ASSERT_EQ(Read(dave, List(dave).at(0).reference, 0, &read), CMC_SUCCESS);
  EXPECT_EQ(read.subject, "all or nothing");
  ASSERT_EQ(read.attachments.size(), 1u);
  EXPECT_EQ(read.attachments[0].second, std::string(300000, 'd'));
}

TEST_F(MaildirMail, AHiddenJournalACrashLeftIsRemovedAtLogonOnceNobodyCanStillUseIt) {
  // A delivery makes its journal under a hidden name, locks it, and only
  // then gives it its own name; a crash in between leaves it like this.
  const fs::path journals = root_ / ".deliveries";
  fs::create_directories(journals);
  auto hidden = [&](const std::string& tag, const std::string& content, bool old) {
    const fs::path path = journals / (".1765000000.M1P2147483646Q1R0badf00d." + tag);
    WriteAll(path, content);
    if (old) fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(2));
    return path;
  };
  const fs::path abandoned = hidden("abandoned", "", true);
  const fs::path fresh = hidden("fresh", "", false);      // may be a delivery's, just made
  const fs::path written = hidden("written", "x", true);  // not left by a delivery
  const fs::path held = hidden("held", "", true);         // locked: its delivery runs
  const int lock = vel::os::Files().OpenExistingFile(held.c_str());
  ASSERT_GE(lock, 0);
  ASSERT_TRUE(vel::os::Files().TryLockFile(lock));

  As("bob");
  EXPECT_FALSE(fs::exists(abandoned));
  for (const fs::path& kept : {fresh, written, held}) EXPECT_TRUE(fs::exists(kept)) << kept;
  vel::os::Files().CloseFile(lock);
  As("carol");
  EXPECT_FALSE(fs::exists(held));
  // Deliveries go on as before, and leave no journal.
  Outgoing m;
  m.To("bob").To("carol").Subject("after").Text("t\n");
  ASSERT_EQ(Send(m), CMC_SUCCESS);
  std::vector<std::string> left = FilesIn(journals);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left,
            (std::vector<std::string>{fresh.filename().string(), written.filename().string()}));
}

// Makes a mailbox's new and cur look untouched for a while, as a mailbox
// is between deliveries: a listing then trusts their modification times.
void AgeDirectories(const fs::path& mailbox) {
  for (const char* dir : {"new", "cur"})
    fs::last_write_time(mailbox / dir, fs::file_time_type::clock::now() - std::chrono::seconds(10));
}

TEST_F(MaildirMail, WhatOtherSessionsDoIsSeenByTheNextListing) {
  for (int i = 0; i < 3; ++i) {
    Outgoing m;
    m.To("bob").Subject("m" + std::to_string(i));
    ASSERT_EQ(Send(m), CMC_SUCCESS);
  }
  CMC_session_id bob = As("bob"), other = As("bob");
  AgeDirectories(Mailbox("bob"));
  // A listing still held by the caller while everything changes under it.
  CMC_uint32 count = 0;
  CMC_message_summary* held = nullptr;
  ASSERT_EQ(cmc_.list(bob, nullptr, 0, nullptr, &count, 0, &held, nullptr), CMC_SUCCESS);
  ASSERT_EQ(count, 3u);
  auto before = List(bob);

  Outgoing late;
  late.To("bob").Subject("delivered by another session");
  ASSERT_EQ(Send(late), CMC_SUCCESS);
  auto after = List(bob);
  ASSERT_EQ(after.size(), 4u);
  EXPECT_EQ(after[3].subject, "delivered by another session");

  // Marked read and deleted by another session of the same account.
  AgeDirectories(Mailbox("bob"));
  ReadMessage m;
  ASSERT_EQ(Read(other, before[0].reference, 0, &m), CMC_SUCCESS);
  AgeDirectories(Mailbox("bob"));
  Reference second(before[1].reference);
  ASSERT_EQ(cmc_.act_on(other, second.get(), CMC_ACT_ON_DELETE, 0, 0, nullptr), CMC_SUCCESS);
  after = List(bob);
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[0].reference, before[0].reference);
  EXPECT_EQ(after[0].flags & CMC_SUM_READ, CMC_SUM_READ);
  EXPECT_EQ(after[1].reference, before[2].reference);
  EXPECT_EQ(List(bob, nullptr, CMC_LIST_UNREAD_ONLY).size(), 2u);
  EXPECT_EQ(Read(bob, before[1].reference, 0, &m), CMC_E_INVALID_MESSAGE_REFERENCE);
  ASSERT_EQ(Read(bob, before[0].reference, 0, &m), CMC_SUCCESS);  // found where it went
  EXPECT_EQ(m.subject, "m0");

  // The listing handed out first is still whole.
  EXPECT_EQ(Bytes(held[2].message_reference), before[2].reference);
  EXPECT_STREQ(held[2].subject, "m2");
  EXPECT_STREQ(held[2].originator->name, "alice");
  EXPECT_EQ(cmc_.free(held), CMC_SUCCESS);
}

TEST_F(MaildirMail, AChangeWithinTheSecondOfAListingIsNotMissed) {
  Deliver("bob", "1300000000.M1P1.one", "Subject: one\n\n1\n");
  CMC_session_id bob = As("bob");
  const fs::path new_dir = Mailbox("bob") / "new";
  // A file system that keeps whole seconds stamped new in this one.
  const timespec stamp[2] = {{std::time(nullptr), 0}, {std::time(nullptr), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, new_dir.c_str(), stamp, 0), 0);
  ASSERT_EQ(List(bob).size(), 1u);
  // Another delivery that leaves new with the time it had at the listing,
  // as such a file system does within the second.
  Deliver("bob", "1300000001.M1P1.two", "Subject: two\n\n2\n");
  ASSERT_EQ(utimensat(AT_FDCWD, new_dir.c_str(), stamp, 0), 0);
  auto listed = List(bob);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[1].subject, "two");
  ReadMessage m;
  EXPECT_EQ(Read(bob, "1300000001.M1P1.two", CMC_DO_NOT_MARK_AS_READ, &m), CMC_SUCCESS);
}

TEST_F(MaildirMail, EveryMailboxGetsTheSameFileAndKeepsItsOwnFlags) {
  Outgoing m;
  m.To("bob")
      .To("carol", CMC_ROLE_CC)
      .To("dave", CMC_ROLE_BCC)
      .Subject("shared")
      .Text("one write\n");
  ASSERT_EQ(Send(m), CMC_SUCCESS);
  // Written once: three names of one file.
  std::vector<fs::path> copies;
  for (const char* name : {"bob", "carol", "dave"}) {
    auto files = FilesIn(Mailbox(name) / "new");
    ASSERT_EQ(files.size(), 1u) << name;
    copies.push_back(Mailbox(name) / "new" / files[0]);
  }
  EXPECT_EQ(fs::hard_link_count(copies[0]), 3u);
  EXPECT_TRUE(fs::equivalent(copies[0], copies[2]));

  CMC_session_id bob = As("bob"), carol = As("carol"), dave = As("dave");
  ReadMessage read;
  ASSERT_EQ(Read(bob, List(bob).at(0).reference, 0, &read), CMC_SUCCESS);
  EXPECT_EQ(List(bob).at(0).flags & CMC_SUM_READ, CMC_SUM_READ);
  EXPECT_EQ(List(carol).at(0).flags & CMC_SUM_READ, 0u);  // read in bob's mailbox only
  EXPECT_EQ(FilesIn(Mailbox("carol") / "new").size(), 1u);

  Reference bobs(List(bob).at(0).reference);
  ASSERT_EQ(cmc_.act_on(bob, bobs.get(), CMC_ACT_ON_DELETE, 0, 0, nullptr), CMC_SUCCESS);
  EXPECT_TRUE(List(bob).empty());
  for (CMC_session_id id : {carol, dave}) {
    ASSERT_EQ(Read(id, List(id).at(0).reference, 0, &read), CMC_SUCCESS);
    EXPECT_EQ(read.text, "one write\n");
  }
  // Each copy says whom it reached: bob and carol are named, dave only by
  // his own copy.
  EXPECT_EQ(read.recipients.back(),
            (std::pair<std::string, CMC_enum>{"dave@" + vel::os::HostName(), CMC_ROLE_BCC}));
  ASSERT_EQ(Read(carol, List(carol).at(0).reference, 0, &read), CMC_SUCCESS);
  EXPECT_EQ(read.recipients.back(), (std::pair<std::string, CMC_enum>{"carol", CMC_ROLE_CC}));
}

TEST_F(MaildirMail, AMailboxOnAnotherFileSystemGetsAWrittenCopy) {
  // carol's mailbox lives on another file system, where no link can reach.
  const fs::path elsewhere = "/dev/shm";
  std::error_code ec;
  if (!fs::is_directory(elsewhere, ec)) GTEST_SKIP() << "no /dev/shm";
  struct stat here_st, there_st;
  if (stat(root_.c_str(), &here_st) != 0 || stat(elsewhere.c_str(), &there_st) != 0 ||
      here_st.st_dev == there_st.st_dev)
    GTEST_SKIP() << "/dev/shm is on the mail root's file system";
  TempDir away(elsewhere);
  fs::remove_all(Mailbox("carol"));
  fs::create_symlink(away.path(), Mailbox("carol"));

  Outgoing m;
  m.To("bob").To("carol").To("dave").Subject("across").Attach(
      MakeFile("data.bin", std::string(100000, 'x')), "data.bin");
  ASSERT_EQ(Send(m), CMC_SUCCESS);
  const auto bobs = FilesIn(Mailbox("bob") / "new"), carols = FilesIn(Mailbox("carol") / "new");
  ASSERT_EQ(bobs.size(), 1u);
  ASSERT_EQ(carols.size(), 1u);
  EXPECT_EQ(fs::hard_link_count(Mailbox("bob") / "new" / bobs[0]), 2u);  // bob's and dave's
  EXPECT_EQ(ReadAll(Mailbox("carol") / "new" / carols[0]),
            ReadAll(Mailbox("bob") / "new" / bobs[0]));
  EXPECT_TRUE(FilesIn(Mailbox("carol") / "tmp").empty());
}

TEST_F(MaildirMail, SavedAttachmentsAreOwnerOnlyAndAbandonedOnesAreRemovedAtLogon) {
  Deliver("bob", "1300000000.M1P1.one", WithAttachments({{"report.txt", "numbers"}}));
  // What crashed processes left (named as now, and as earlier versions
  // named them), and what a live one (this) still uses.
  const fs::path dead = root_ / ".attachments" / "2147483646.1";
  const fs::path dead_earlier = root_ / ".attachments" / "bob.2147483646.2";
  const fs::path live =
      root_ / ".attachments" / (std::to_string(vel::os::ProcessId()) + ".4000000");
  for (const fs::path& left : {dead, dead_earlier}) {
    fs::create_directories(left / "1");
    WriteAll(left / "1" / "old.txt", "old");
  }
  fs::create_directories(live);
  CMC_session_id bob = As("bob");
  EXPECT_FALSE(fs::exists(dead));
  EXPECT_FALSE(fs::exists(dead_earlier));
  EXPECT_TRUE(fs::exists(live));

  ReadMessage m;
  ASSERT_EQ(Read(bob, "1300000000.M1P1.one", 0, &m), CMC_SUCCESS);
  ASSERT_EQ(m.attachment_files.size(), 1u);
  fs::path file = m.attachment_files[0];
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  for (fs::path dir = file.parent_path(); dir != root_; dir = dir.parent_path())
    EXPECT_EQ(fs::status(dir).permissions() & fs::perms::all, fs::perms::owner_all) << dir;
}

TEST_F(MaildirMail, OnlyRegularFilesAreListedOrReadAndLinksAreNotFollowed) {
  Deliver("bob", "1300000002.M1P1.real", "Subject: real\n\nreal\n");
  const fs::path new_dir = Mailbox("bob") / "new";
  ASSERT_EQ(std::system(("mkfifo '" + (new_dir / "1300000000.M1P1.fifo").string() + "'").c_str()),
            0);
  fs::create_symlink(root_ / "passwd", new_dir / "1300000001.M1P1.link");
  fs::create_symlink(root_ / "passwd", Mailbox("bob") / "cur" / "1300000003.M1P1.link:2,S");
  fs::create_directory(new_dir / "1300000004.M1P1.dir");
  CMC_session_id bob = As("bob");
  auto listed = List(bob);  // a FIFO read would block here until a writer came
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].subject, "real");
  ReadMessage m;
  for (const char* other : {"1300000000.M1P1.fifo", "1300000001.M1P1.link", "1300000003.M1P1.link",
                            "1300000004.M1P1.dir"})
    EXPECT_EQ(Read(bob, other, 0, &m), CMC_E_INVALID_MESSAGE_REFERENCE) << other;
  EXPECT_TRUE(fs::is_symlink(new_dir / "1300000001.M1P1.link"));
  EXPECT_EQ(Read(bob, listed[0].reference, 0, &m), CMC_SUCCESS);
}

TEST_F(MaildirMail, NoFileOfTheMailRootIsAttachedByAnyName) {
  Outgoing first;
  first.To("bob").Subject("to be found");
  ASSERT_EQ(Send(first), CMC_SUCCESS);
  const std::string stored = (Mailbox("bob") / "new" / FilesIn(Mailbox("bob") / "new")[0]).string();
  fs::create_directories(dir_.path() / "elsewhere");
  fs::create_symlink(root_ / "passwd", dir_.path() / "elsewhere" / "innocent.txt");
  fs::create_symlink(root_, dir_.path() / "elsewhere" / "root");
  const std::string names[] = {
      (root_ / "passwd").string(),
      (dir_.path() / "elsewhere" / ".." / "mail" / "passwd").string(),
      (dir_.path() / "elsewhere" / "innocent.txt").string(),
      (dir_.path() / "elsewhere" / "root" / "bob" / "new").string() + "/" +
          fs::path(stored).filename().string(),
      stored,
  };
  for (const std::string& name : names) {
    Outgoing m;
    m.To("carol").Attach(name, "passwd");
    EXPECT_EQ(Send(m), CMC_E_ATTACHMENT_OPEN_FAILURE) << name;
  }
  EXPECT_TRUE(FilesIn(Mailbox("carol") / "new").empty());
  EXPECT_TRUE(FilesIn(Mailbox("carol") / "tmp").empty());
  // Other files of the server are attached, but never through a link.
  const std::string plain = MakeFile("plain.txt", "plain");
  fs::create_symlink(plain, dir_.path() / "elsewhere" / "link.txt");
  Outgoing linked;
  linked.To("carol").Attach((dir_.path() / "elsewhere" / "link.txt").string(), "link.txt");
  EXPECT_EQ(Send(linked), CMC_E_ATTACHMENT_OPEN_FAILURE);
  Outgoing fine;
  fine.To("carol").Attach(plain, "plain.txt");
  EXPECT_EQ(Send(fine), CMC_SUCCESS);
}

// Texts the message must encode to carry (a CR, no final line end, 8-bit
// bytes, a line too long for mail) come back exactly as sent.
TEST_F(MaildirMail, TextWithoutAFinalLineEndIsReadBackExactly) {
  CMC_session_id bob = As("bob");
  const std::string texts[] = {"31 bytes and no line end at all",
                               "two\nlines",
                               "caf\xc3\xa9",
                               "line end kept\n",
                               "x = 1 =",
                               "bare\rCR\n",
                               "dos\r\nlines\r\n",
                               "dot\r.\r\nend\n",
                               "caf\xc3\xa9\n",
                               std::string(3000, 'y') + "\n"};
  for (bool attached : {false, true}) {
    for (const std::string& text : texts) {
      Outgoing m;
      m.To("bob").Text(text);
      if (attached) m.Attach(MakeFile("a.txt", "a"), "a.txt");
      ASSERT_EQ(Send(m), CMC_SUCCESS);
      std::string ref = List(bob, nullptr, CMC_LIST_UNREAD_ONLY).at(0).reference;
      ReadMessage read;
      ASSERT_EQ(Read(bob, ref, 0, &read), CMC_SUCCESS);
      EXPECT_EQ(read.text, text) << attached;
    }
  }
}

}  // namespace
}  // namespace maildir_test
