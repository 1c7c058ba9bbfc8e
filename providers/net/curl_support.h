// libcurl for both protocols: one-time set-up, an owning handle, the
// options every connection shares, and what a failure means.
#ifndef VELNET_CURL_SUPPORT_H
#define VELNET_CURL_SUPPORT_H

#include <curl/curl.h>

#include <memory>
#include <string>

#include "net/config.h"

namespace velnet {

// Initialises libcurl once for the process; safe from any thread.
void EnsureCurl();

struct CurlCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlPtr = std::unique_ptr<CURL, CurlCleanup>;

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;

// A new handle with the configuration's TLS mode, authorities and
// time-outs, and the user's credentials (given to libcurl only, never
// logged), which libcurl offers with the SASL mechanisms listed (words of
// the auth keys; "*": whatever the server offers, libcurl's choice).
// Signals are not used, so the handle may run on any thread.
CurlPtr NewHandle(const Config& config, const std::string& user, const std::string& password,
                  const std::string& mechanisms);
// The same for SMTP: its mechanisms are smtp.auth.
CurlPtr NewHandle(const Config& config, const std::string& user, const std::string& password);

// libcurl's login options for a list of mechanisms: "AUTH=PLAIN;AUTH=LOGIN".
std::string LoginOptions(const std::string& mechanisms);

// What kind of failure a transfer ended in.
enum class FailureKind {
  kUnreachable,  // no connection could be made (or it timed out)
  kTls,          // TLS could not be set up: certificate untrusted, no STARTTLS
  kCredentials,  // the server refused the user name or password
  kLost,         // the connection broke or timed out part way
  kRefused,      // the server answered a command with a refusal
  kOther,
};
FailureKind Classify(CURLcode code);

// The error text of a transfer: libcurl's buffer if it holds one, else
// the code's own text.
std::string ErrorText(CURLcode code, const char* buffer);

}  // namespace velnet

#endif
