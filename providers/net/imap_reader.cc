#include "net/imap_reader.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace velnet {
namespace {

constexpr size_t kChunk = size_t{64} * 1024;

ImapResult Malformed(const std::string& what) {
  return {CURLE_WEIRD_SERVER_REPLY, "the IMAP server's reply " + what};
}

bool EqualsNoCase(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

bool ParseNumber(const std::string& s, uint64_t max, uint64_t* out) {
  if (s.empty() || s.size() > 20) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (max - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *out = v;
  return true;
}

// The length of a literal announced at the end of text ("{n}" or "{n+}"),
// or false when text does not end in one.
bool LiteralAtEnd(const std::string& text, uint64_t* length) {
  if (text.empty() || text.back() != '}') return false;
  size_t open = text.rfind('{');
  if (open == std::string::npos) return false;
  std::string digits = text.substr(open + 1, text.size() - open - 2);
  if (!digits.empty() && digits.back() == '+') digits.pop_back();
  return ParseNumber(digits, UINT64_MAX, length);
}

// Tokens of a FETCH item list: atoms (a section "[...]" and a partial
// "<...>" belong to the atom before them), quoted strings, literals,
// parenthesised lists (kept whole).
class Tokens {
 public:
  Tokens(const std::string& text, size_t pos) : text_(text), pos_(pos) {}

  bool AtEnd() {
    Skip();
    return pos_ >= text_.size() || text_[pos_] == ')';
  }

  // The next token; *literal is set when it is a literal reference.
  bool Next(std::string* token, bool* literal) {
    Skip();
    *literal = false;
    token->clear();
    if (pos_ >= text_.size()) return false;
    const char c = text_[pos_];
    if (c == '"') {
      for (++pos_; pos_ < text_.size() && text_[pos_] != '"'; ++pos_) {
        if (text_[pos_] == '\\' && pos_ + 1 < text_.size()) ++pos_;
        *token += text_[pos_];
      }
      if (pos_ >= text_.size()) return false;
      ++pos_;
      return true;
    }
    if (c == '{') {
      size_t close = text_.find('}', pos_);
      if (close == std::string::npos) return false;
      *literal = true;
      pos_ = close + 1;
      return true;
    }
    if (c == '(') {
      int depth = 0;
      size_t start = pos_;
      for (; pos_ < text_.size(); ++pos_) {
        if (text_[pos_] == '(') ++depth;
        if (text_[pos_] == ')' && --depth == 0) break;
      }
      if (pos_ >= text_.size()) return false;
      ++pos_;
      *token = text_.substr(start, pos_ - start);
      return true;
    }
    size_t start = pos_;
    int brackets = 0;
    for (; pos_ < text_.size(); ++pos_) {
      const char d = text_[pos_];
      if (d == '[' || d == '<') ++brackets;
      if (d == ']' || d == '>') --brackets;
      if (brackets <= 0 && (d == ' ' || d == ')' || d == '(')) break;
    }
    *token = text_.substr(start, pos_ - start);
    return !token->empty();
  }

 private:
  void Skip() {
    while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
  }
  const std::string& text_;
  size_t pos_;
};

}  // namespace

void ResponseReader::Reset() {
  buffer_.clear();
  pos_ = 0;
}

ImapResult ResponseReader::Fill() {
  if (pos_ > 0 && pos_ >= buffer_.size() / 2) {
    buffer_.erase(0, pos_);
    pos_ = 0;
  }
  const size_t had = buffer_.size();
  buffer_.resize(had + kChunk);
  size_t got = 0;
  ImapResult r = source_->Read(buffer_.data() + had, kChunk, &got);
  buffer_.resize(had + (r.ok() ? std::min(got, kChunk) : 0));
  return r;
}

ImapResult ResponseReader::ReadLine(size_t room, std::string* text) {
  for (;;) {
    size_t end = buffer_.find('\n', pos_);
    if (end != std::string::npos) {
      size_t length = end - pos_;
      if (length > 0 && buffer_[end - 1] == '\r') --length;
      if (length > room) return Malformed("has a line longer than allowed");
      text->append(buffer_, pos_, length);
      pos_ = end + 1;
      return {};
    }
    if (buffer_.size() - pos_ > room + 1) return Malformed("has a line longer than allowed");
    if (ImapResult r = Fill(); !r.ok()) return r;
  }
}

ImapResult ResponseReader::ReadLiteral(uint64_t length, uint64_t keep, std::string* out) {
  while (length > 0) {
    if (pos_ >= buffer_.size()) {
      if (ImapResult r = Fill(); !r.ok()) return r;
      continue;
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, buffer_.size() - pos_));
    if (out->size() < keep)
      out->append(buffer_, pos_, static_cast<size_t>(std::min<uint64_t>(n, keep - out->size())));
    pos_ += n;
    length -= n;
  }
  return {};
}

ImapResult ResponseReader::Next(const ReaderLimits& limits, Response* out) {
  *out = Response();
  std::string text;
  for (;;) {
    if (ImapResult r = ReadLine(limits.max_text - std::min(text.size(), limits.max_text), &text);
        !r.ok())
      return r;
    uint64_t length = 0;
    if (!LiteralAtEnd(text, &length)) break;
    if (out->literals.size() >= limits.max_literals)
      return Malformed("carries more literals than allowed");
    out->literals.emplace_back();
    if (ImapResult r = ReadLiteral(length, limits.max_literal, &out->literals.back()); !r.ok())
      return r;
    if (length > limits.max_literal) out->truncated = true;
  }
  if (text.rfind("* ", 0) == 0) {
    out->kind = Response::Kind::kUntagged;
    out->text = text.substr(2);
  } else if (text == "+" || text.rfind("+ ", 0) == 0) {
    out->kind = Response::Kind::kContinuation;
    out->text = text.size() > 2 ? text.substr(2) : "";
  } else {
    size_t space = text.find(' ');
    if (space == 0 || space == std::string::npos) return Malformed("is no IMAP response");
    out->kind = Response::Kind::kTagged;
    out->tag = text.substr(0, space);
    out->text = text.substr(space + 1);
  }
  return {};
}

bool ParseFetch(Response& response, FetchItem* out) {
  *out = FetchItem();
  const std::string& text = response.text;
  size_t space = text.find(' ');
  if (response.kind != Response::Kind::kUntagged || space == std::string::npos ||
      strncasecmp(text.c_str() + space, " FETCH (", 8) != 0)
    return false;
  uint64_t sequence = 0;
  if (!ParseNumber(text.substr(0, space), UINT32_MAX, &sequence)) return false;
  Tokens tokens(text, space + 8);
  size_t literal_index = 0;
  out->truncated = response.truncated;
  while (!tokens.AtEnd()) {
    std::string name, value;
    bool literal = false;
    if (!tokens.Next(&name, &literal) || literal || !tokens.Next(&value, &literal)) return false;
    std::string content;
    if (literal) {
      if (literal_index >= response.literals.size()) return false;
      content = std::move(response.literals[literal_index++]);
    }
    uint64_t number = 0;
    if (EqualsNoCase(name, "UID")) {
      if (literal || !ParseNumber(value, UINT32_MAX, &number)) return false;
      out->uid = static_cast<uint32_t>(number);
    } else if (EqualsNoCase(name, "RFC822.SIZE")) {
      if (literal || !ParseNumber(value, UINT64_MAX, &number)) return false;
      out->size = number;
    } else if (EqualsNoCase(name, "FLAGS")) {
      if (literal || value.empty() || value.front() != '(') return false;
      out->has_flags = true;
      Tokens flags(value, 1);
      std::string flag;
      bool flag_literal = false;
      while (!flags.AtEnd() && flags.Next(&flag, &flag_literal)) {
        if (EqualsNoCase(flag, "\\Seen")) out->seen = true;
        if (EqualsNoCase(flag, "\\Deleted")) out->deleted = true;
      }
    } else if (EqualsNoCase(name, "INTERNALDATE")) {
      out->internal_date = ParseInternalDate(value);
    } else if (strncasecmp(name.c_str(), "BODY[HEADER", 11) == 0) {
      out->has_header = true;
      out->header = literal ? std::move(content) : (EqualsNoCase(value, "NIL") ? "" : value);
    } else if (strncasecmp(name.c_str(), "BODY[]", 6) == 0) {
      out->has_body = true;
      out->body = literal ? std::move(content) : (EqualsNoCase(value, "NIL") ? "" : value);
    }
  }
  return true;
}

bool ParseStatus(const std::string& text, MailboxStatus* status) {
  if (strncasecmp(text.c_str(), "STATUS ", 7) != 0) return false;
  // The items follow the mailbox name, in the last parenthesis.
  size_t open = text.rfind('(');
  if (open == std::string::npos) return false;
  Tokens tokens(text, open + 1);
  bool have_v = false, have_n = false, have_m = false;
  while (!tokens.AtEnd()) {
    std::string name, value;
    bool literal = false;
    uint64_t number = 0;
    if (!tokens.Next(&name, &literal) || !tokens.Next(&value, &literal) ||
        !ParseNumber(value, UINT32_MAX, &number))
      return false;
    if (EqualsNoCase(name, "UIDVALIDITY")) status->uidvalidity = static_cast<uint32_t>(number);
    if (EqualsNoCase(name, "UIDNEXT")) status->uidnext = static_cast<uint32_t>(number);
    if (EqualsNoCase(name, "MESSAGES")) status->messages = static_cast<uint32_t>(number);
    have_v |= EqualsNoCase(name, "UIDVALIDITY");
    have_n |= EqualsNoCase(name, "UIDNEXT");
    have_m |= EqualsNoCase(name, "MESSAGES");
  }
  return have_v && have_n && have_m;
}

bool HasCapability(const std::string& text, const std::string& capability, bool* listed) {
  size_t start = 0;
  if (strncasecmp(text.c_str(), "CAPABILITY ", 11) == 0) {
    start = 11;
  } else {
    const char* found = strcasestr(text.c_str(), "[CAPABILITY ");
    if (found == nullptr) return false;
    start = static_cast<size_t>(found - text.c_str()) + 12;
  }
  *listed = true;
  const size_t end = std::min(text.find(']', start), text.size());
  for (size_t pos = start; pos < end;) {
    size_t next = std::min(text.find(' ', pos), end);
    if (next - pos == capability.size() &&
        strncasecmp(text.c_str() + pos, capability.c_str(), capability.size()) == 0)
      return true;
    pos = next + 1;
  }
  return false;
}

bool ParseSearch(const std::string& text, std::vector<uint32_t>* out) {
  if (!EqualsNoCase(text.substr(0, 6), "SEARCH")) return false;
  if (text.size() > 6 && text[6] != ' ') return false;
  for (size_t pos = 7; pos < text.size();) {
    size_t next = std::min(text.find(' ', pos), text.size());
    uint64_t number = 0;
    if (next > pos) {
      if (!ParseNumber(text.substr(pos, next - pos), UINT32_MAX, &number)) return false;
      out->push_back(static_cast<uint32_t>(number));
    }
    pos = next + 1;
  }
  return true;
}

int64_t ParseInternalDate(const std::string& text) {
  std::tm tm{};
  char month[4] = {0};
  int zone = 0;
  if (std::sscanf(text.c_str(), "%d-%3s-%d %d:%d:%d %d", &tm.tm_mday, month, &tm.tm_year,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &zone) != 7)
    return 0;
  static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  tm.tm_mon = 0;
  for (int i = 0; i < 12; ++i)
    if (strcasecmp(month, kMonths[i]) == 0) tm.tm_mon = i;
  tm.tm_year -= 1900;
  if (zone < -9999 || zone > 9999) return 0;  // a zone is +-HHMM
  int sign = zone < 0 ? -1 : 1;
  zone *= sign;
  int64_t offset = int64_t{sign} * ((zone / 100) * 3600 + (zone % 100) * 60);
  return static_cast<int64_t>(timegm(&tm)) - offset;
}

}  // namespace velnet
