// Submitting spooled messages to one SMTP server over libcurl. A sender
// keeps its connection between messages, so that a run through the queue
// uses one connection per server.
#ifndef VELNET_SMTP_H
#define VELNET_SMTP_H

#include <functional>
#include <string>
#include <vector>

#include "net/config.h"
#include "net/curl_support.h"

namespace velnet {

struct SmtpOutcome {
  // True when the server answered the message's transaction at all; false
  // when no connection could be made or it broke before the end.
  bool answered = false;
  FailureKind failure = FailureKind::kOther;  // when the transfer failed
  bool ok = false;                            // the message was taken
  int code = 0;                               // the server's last reply code
  std::string reply;                          // ... and its text, or the failure
  struct Recipient {
    std::string address;
    int code = 0;
    std::string reply;
  };
  std::vector<Recipient> recipients;  // each RCPT's answer, in order
};

class SmtpSender {
 public:
  SmtpSender(const Config& config, std::string url, const std::string& user,
             const std::string& password);
  const std::string& Url() const { return url_; }

  // Sends the message read from fd at offset to the recipients. before_end,
  // when given, is called once the whole message has been read and before
  // its end is sent, that is before the server can take it.
  SmtpOutcome Send(const std::string& from, const std::vector<std::string>& recipients, int fd,
                   uint64_t offset, const std::function<void()>& before_end = {});

 private:
  std::string url_;
  CurlPtr handle_;
};

}  // namespace velnet

#endif
