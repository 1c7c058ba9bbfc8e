#include "net/smtp.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "file_system.h"
#include "platform.h"

namespace velnet {
namespace {

// What the conversation tells beyond libcurl's result: each RCPT's reply
// and the last reply to a command of the transaction other than RCPT --
// the transaction's own answer (MAIL, DATA, the end of data): a
// recipient's refusal answers for that recipient only, so a connection
// lost after one stays a lost connection. Only RCPT and QUIT commands are
// looked at on the way out; nothing else sent (the AUTH exchange included)
// is kept. The reply to a QUIT that libcurl sends after a failure is not
// the server's answer to the message and is left out.
struct Transcript {
  std::string pending_rcpt;  // the RCPT awaiting its reply
  bool rcpt_open = false;
  bool quitting = false;
  std::string partial;  // a reply line split over two callbacks
  std::string reply;    // the reply so far (multi-line replies joined)
  int code = 0;
  std::vector<SmtpOutcome::Recipient> recipients;

  void Out(const char* data, size_t size) {
    std::string line(data, size);
    if (line.size() >= 8 && strncasecmp(line.c_str(), "RCPT TO:", 8) == 0) {
      size_t open = line.find('<'), close = line.find('>');
      pending_rcpt = open != std::string::npos && close != std::string::npos && close > open
                         ? line.substr(open + 1, close - open - 1)
                         : "";
      rcpt_open = true;
    }
    if (line.size() >= 4 && strncasecmp(line.c_str(), "QUIT", 4) == 0) quitting = true;
  }
  void In(const char* data, size_t size) {
    if (quitting) return;
    partial.append(data, size);
    size_t eol;
    while ((eol = partial.find('\n')) != std::string::npos) {
      std::string line = partial.substr(0, eol);
      partial.erase(0, eol + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.size() < 3) continue;
      bool last = line.size() == 3 || line[3] == ' ';
      std::string text = line.size() > 4 ? line.substr(4) : "";
      reply += (reply.empty() ? line.substr(0, 3) + " " : " ") + text;
      if (!last) continue;
      const int answer = std::atoi(line.substr(0, 3).c_str());
      if (rcpt_open) {
        recipients.push_back({pending_rcpt, answer, reply});
        rcpt_open = false;
      } else {
        code = answer;
        last_reply = reply;
      }
      reply.clear();
    }
  }
  std::string last_reply;
};

int Debug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  auto* t = static_cast<Transcript*>(user);
  if (type == CURLINFO_HEADER_OUT) t->Out(data, size);
  if (type == CURLINFO_HEADER_IN) t->In(data, size);
  return 0;
}

struct Upload {
  int fd;
  uint64_t offset;
  const std::function<void()>* before_end;
};

size_t ReadBody(char* buffer, size_t size, size_t count, void* user) {
  auto* u = static_cast<Upload*>(user);
  int64_t n = vel::os::Files().ReadFileAt(u->fd, buffer, size * count, u->offset);
  if (n < 0) return CURL_READFUNC_ABORT;
  if (n == 0 && u->before_end != nullptr && *u->before_end) {
    (*u->before_end)();
    u->before_end = nullptr;
  }
  u->offset += static_cast<uint64_t>(n);
  return static_cast<size_t>(n);
}

}  // namespace

SmtpSender::SmtpSender(const Config& config, std::string url, const std::string& user,
                       const std::string& password)
    : url_(std::move(url)), handle_(NewHandle(config, user, password)) {}

SmtpOutcome SmtpSender::Send(const std::string& from, const std::vector<std::string>& recipients,
                             int fd, uint64_t offset, const std::function<void()>& before_end) {
  SmtpOutcome out;
  if (!handle_) {
    out.reply = "out of memory";
    return out;
  }
  CURL* h = handle_.get();
  Transcript transcript;
  Upload upload{fd, offset, &before_end};
  SlistPtr rcpt;
  for (const std::string& r : recipients) {
    curl_slist* grown = curl_slist_append(rcpt.get(), ("<" + r + ">").c_str());
    if (!grown) throw std::bad_alloc();
    (void)rcpt.release();  // the old head lives on in grown
    rcpt.reset(grown);
  }
  char error[CURL_ERROR_SIZE] = "";
  const std::string mail_from = "<" + from + ">";
  curl_easy_setopt(h, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(h, CURLOPT_MAIL_FROM, mail_from.c_str());
  curl_easy_setopt(h, CURLOPT_MAIL_RCPT, rcpt.get());
  // One refused recipient does not stop the others.
  // (The name as libcurl 7.88 spells it; later versions keep it as an alias.)
  curl_easy_setopt(h, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 1L);
  curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(h, CURLOPT_READFUNCTION, ReadBody);
  curl_easy_setopt(h, CURLOPT_READDATA, &upload);
  // The spool holds LF line ends; SMTP wants CRLF.
  curl_easy_setopt(h, CURLOPT_CRLF, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);  // feeds the transcript only
  curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, Debug);
  curl_easy_setopt(h, CURLOPT_DEBUGDATA, &transcript);
  CURLcode rc = curl_easy_perform(h);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(h, CURLOPT_DEBUGDATA, nullptr);
  curl_easy_setopt(h, CURLOPT_MAIL_RCPT, nullptr);

  out.recipients = std::move(transcript.recipients);
  out.code = transcript.code;
  out.ok = rc == CURLE_OK;
  if (rc == CURLE_OK) {
    out.answered = true;
    out.reply = transcript.last_reply;
    return out;
  }
  out.failure = Classify(rc);
  // A refusal the server gave (4xx or 5xx) is its answer; anything else
  // is a failure of the connection.
  const bool every_recipient_refused =
      !out.recipients.empty() &&
      std::all_of(out.recipients.begin(), out.recipients.end(),
                  [](const SmtpOutcome::Recipient& r) { return r.code >= 400; });
  if (out.code >= 400 && out.code < 600 && out.failure != FailureKind::kTls) {
    out.answered = true;
    out.failure = out.failure == FailureKind::kCredentials ? out.failure : FailureKind::kRefused;
    out.reply = transcript.last_reply;
  } else if (every_recipient_refused && out.failure != FailureKind::kTls) {
    // Nobody to send to: each recipient's own reply answers for it.
    out.answered = true;
    out.failure = FailureKind::kRefused;
    out.reply = out.recipients.back().reply;
  } else {
    out.reply = ErrorText(rc, error);
  }
  return out;
}

}  // namespace velnet
