// The network provider's own IMAP response reader against hostile and
// awkwardly delivered input: literals split anywhere, literals and lines
// longer than allowed, a server that never ends a line or announces more
// than it sends; and the parsing of the responses the provider asks for.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "net/imap_reader.h"

namespace velnet {
namespace {

// Hands out text a few bytes at a time, then fails as a closed connection.
class StringSource : public ByteSource {
 public:
  StringSource(std::string text, size_t chunk) : text_(std::move(text)), chunk_(chunk) {}
  ImapResult Read(char* buffer, size_t size, size_t* got) override {
    if (pos_ >= text_.size()) return {CURLE_RECV_ERROR, "closed"};
    *got = std::min({size, chunk_, text_.size() - pos_});
    std::copy_n(text_.data() + pos_, *got, buffer);
    pos_ += *got;
    return {};
  }
  size_t read() const { return pos_; }

 private:
  std::string text_;
  size_t chunk_;
  size_t pos_ = 0;
};

// A server that sends the same byte for ever.
class EndlessSource : public ByteSource {
 public:
  explicit EndlessSource(char byte) : byte_(byte) {}
  ImapResult Read(char* buffer, size_t size, size_t* got) override {
    std::fill_n(buffer, size, byte_);
    *got = size;
    total_ += size;
    return {};
  }
  uint64_t total_ = 0;

 private:
  char byte_;
};

const std::string kHeader = "From: a@b\r\nSubject: ) {5}\r\n\"quoted\r\n\r\n";

std::string FetchWithHeader(uint32_t sequence, uint32_t uid) {
  return "* " + std::to_string(sequence) + " FETCH (UID " + std::to_string(uid) +
         " FLAGS (\\Seen $Junk) INTERNALDATE \"17-Jul-1996 02:44:25 -0700\" RFC822.SIZE 4286 "
         "BODY[HEADER.FIELDS (FROM SUBJECT)] {" +
         std::to_string(kHeader.size()) + "}\r\n" + kHeader + ")\r\n";
}

TEST(ImapReader, LiteralsAreFramedHoweverTheBytesArrive) {
  const std::string wire = FetchWithHeader(1, 7) + FetchWithHeader(2, 9) + "V3 OK done\r\n";
  for (size_t chunk : {size_t{1}, size_t{3}, size_t{64}, wire.size()}) {
    StringSource source(wire, chunk);
    ResponseReader reader(&source);
    Response r;
    FetchItem item;
    for (uint32_t uid : {7u, 9u}) {
      ASSERT_TRUE(reader.Next({}, &r).ok()) << chunk;
      ASSERT_TRUE(ParseFetch(r, &item)) << chunk;
      EXPECT_EQ(item.uid, uid);
      EXPECT_TRUE(item.seen);
      EXPECT_FALSE(item.deleted);
      EXPECT_EQ(item.size, 4286u);
      EXPECT_EQ(item.internal_date, 837596665);
      EXPECT_TRUE(item.has_header);
      EXPECT_EQ(item.header, kHeader);
    }
    ASSERT_TRUE(reader.Next({}, &r).ok());
    EXPECT_EQ(r.kind, Response::Kind::kTagged);
    EXPECT_EQ(r.tag, "V3");
    EXPECT_EQ(r.text, "OK done");
  }
}

TEST(ImapReader, ALongLiteralIsCutAndTheNextResponseStillFound) {
  const std::string big(100000, 'x');
  const std::string wire = "* 1 FETCH (UID 3 BODY[] {100000}\r\n" + big + ")\r\n* 2 EXISTS\r\n";
  StringSource source(wire, 4096);
  ResponseReader reader(&source);
  ReaderLimits limits;
  limits.max_literal = 1000;
  Response r;
  ASSERT_TRUE(reader.Next(limits, &r).ok());
  EXPECT_TRUE(r.truncated);
  ASSERT_EQ(r.literals.size(), 1u);
  EXPECT_EQ(r.literals[0].size(), 1000u);
  FetchItem item;
  ASSERT_TRUE(ParseFetch(r, &item));
  EXPECT_TRUE(item.truncated);
  EXPECT_EQ(item.uid, 3u);
  ASSERT_TRUE(reader.Next(limits, &r).ok());
  EXPECT_EQ(r.text, "2 EXISTS");
}

TEST(ImapReader, HostileStreamsFailWithinTheirBounds) {
  ReaderLimits limits;
  limits.max_text = 4096;
  Response r;
  {
    // A line that never ends: refused once it is longer than allowed.
    EndlessSource source('a');
    ResponseReader reader(&source);
    ImapResult result = reader.Next(limits, &r);
    EXPECT_EQ(result.code, CURLE_WEIRD_SERVER_REPLY);
    EXPECT_LT(source.total_, 1u << 20);
  }
  {
    // A literal of 2^63 bytes announced, and the connection closed: no
    // allocation of that size, a failure.
    StringSource source("* 1 FETCH (UID 1 BODY[] {9223372036854775808}\r\nabc", 16);
    ResponseReader reader(&source);
    EXPECT_EQ(reader.Next(limits, &r).code, CURLE_RECV_ERROR);
  }
  {
    // A literal length past 64 bits is no literal: the line is taken as it
    // is (and the next read fails with the connection).
    StringSource source("* OK {99999999999999999999999}\r\n", 16);
    ResponseReader reader(&source);
    ASSERT_TRUE(reader.Next(limits, &r).ok());
    EXPECT_TRUE(r.literals.empty());
  }
  {
    // Literals without end in one response.
    std::string wire = "* 1 FETCH (";
    for (int i = 0; i < 20; ++i) wire += "X {1}\r\nx ";
    StringSource source(wire + ")\r\n", 7);
    ResponseReader reader(&source);
    EXPECT_EQ(reader.Next(limits, &r).code, CURLE_WEIRD_SERVER_REPLY);
  }
  {
    // A line without tag and space is no response.
    StringSource source("garbage\r\n", 64);
    ResponseReader reader(&source);
    EXPECT_EQ(reader.Next(limits, &r).code, CURLE_WEIRD_SERVER_REPLY);
  }
}

TEST(ImapParse, FetchItemsAndTheirFaults) {
  auto parse = [](const std::string& text, FetchItem* item) {
    Response r;
    r.text = text;
    return ParseFetch(r, item);
  };
  FetchItem item;
  ASSERT_TRUE(
      parse("12 FETCH (FLAGS (\\Deleted \\Seen) UID 40 BODY[HEADER] \"Subject: q\")", &item));
  EXPECT_EQ(item.uid, 40u);
  EXPECT_TRUE(item.seen && item.deleted);
  EXPECT_EQ(item.header, "Subject: q");
  ASSERT_TRUE(parse("3 fetch (uid 5 flags () BODY[HEADER.FIELDS (FROM)] NIL)", &item));
  EXPECT_EQ(item.uid, 5u);
  EXPECT_FALSE(item.seen);
  EXPECT_TRUE(item.has_header);
  EXPECT_EQ(item.header, "");
  // UID 0 and a missing UID are reported as 0, for the caller to leave out.
  ASSERT_TRUE(parse("1 FETCH (UID 0 FLAGS ())", &item));
  EXPECT_EQ(item.uid, 0u);
  ASSERT_TRUE(parse("1 FETCH (FLAGS ())", &item));
  EXPECT_EQ(item.uid, 0u);
  // Out of range, malformed, a literal never sent, or no FETCH at all.
  EXPECT_FALSE(parse("1 FETCH (UID 4294967296)", &item));
  EXPECT_FALSE(parse("1 FETCH (UID -1)", &item));
  EXPECT_FALSE(parse("1 FETCH (UID 1 BODY[] {5})", &item));
  EXPECT_FALSE(parse("1 EXISTS", &item));
  EXPECT_FALSE(parse("x FETCH (UID 1)", &item));

  MailboxStatus status;
  ASSERT_TRUE(
      ParseStatus("STATUS \"a (b)\" (MESSAGES 4294967295 UIDNEXT 9 UIDVALIDITY 77)", &status));
  EXPECT_EQ(status, (MailboxStatus{77, 9, 4294967295u}));
  EXPECT_FALSE(ParseStatus("STATUS INBOX (MESSAGES 1 UIDNEXT 2)", &status));
  EXPECT_FALSE(ParseStatus("STATUS INBOX (MESSAGES 99999999999 UIDNEXT 2 UIDVALIDITY 1)", &status));

  bool listed = false;
  EXPECT_TRUE(HasCapability("OK [CAPABILITY IMAP4rev1 UIDPLUS] done", "UIDPLUS", &listed));
  EXPECT_FALSE(HasCapability("CAPABILITY IMAP4rev1 XUIDPLUSX", "UIDPLUS", &listed));
  EXPECT_TRUE(listed);

  std::vector<uint32_t> found;
  ASSERT_TRUE(ParseSearch("SEARCH 3 17", &found));
  EXPECT_EQ(found, (std::vector<uint32_t>{3, 17}));
  found.clear();
  EXPECT_TRUE(ParseSearch("SEARCH", &found));
  EXPECT_TRUE(found.empty());
  EXPECT_FALSE(ParseSearch("SEARCH 1 x", &found));

  // A server's date: its zone moves it; a zone no +-HHMM can be (once an
  // int overflow) leaves the date unread.
  EXPECT_EQ(ParseInternalDate("17-Jul-1996 02:44:25 -0700"), 837596665);
  EXPECT_EQ(ParseInternalDate("17-Jul-1996 09:44:25 +0000"), 837596665);
  EXPECT_EQ(ParseInternalDate("17-Jul-1996 02:44:25 +2147483647"), 0);
  EXPECT_EQ(ParseInternalDate("17-Jul-1996 02:44:25 -2147483648"), 0);
}

}  // namespace
}  // namespace velnet
