#include "net/curl_support.h"

#include <algorithm>
#include <mutex>

#include "platform.h"

namespace velnet {

void EnsureCurl() {
  // libcurl and the TLS library it brings register process-wide state that
  // is not undone safely; once used, the module stays mapped.
  static std::once_flag once;
  std::call_once(once, [] {
    vel::os::PinModuleOf(reinterpret_cast<const void*>(&EnsureCurl));
    curl_global_init(CURL_GLOBAL_DEFAULT);
  });
}

std::string LoginOptions(const std::string& mechanisms) {
  std::string options;
  size_t pos = 0;
  while ((pos = mechanisms.find_first_not_of(' ', pos)) != std::string::npos) {
    size_t end = std::min(mechanisms.find(' ', pos), mechanisms.size());
    options += (options.empty() ? "AUTH=" : ";AUTH=") + mechanisms.substr(pos, end - pos);
    pos = end;
  }
  return options.empty() ? "AUTH=*" : options;
}

CurlPtr NewHandle(const Config& config, const std::string& user, const std::string& password) {
  return NewHandle(config, user, password, config.smtp_auth);
}

CurlPtr NewHandle(const Config& config, const std::string& user, const std::string& password,
                  const std::string& mechanisms) {
  EnsureCurl();
  CurlPtr handle(curl_easy_init());
  if (!handle) return handle;
  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(config.connect_timeout));
  curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(config.transfer_timeout));
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "imap,imaps,smtp,smtps");
  if (config.tls == TlsMode::kRequired) {
    // imap:// and smtp:// must upgrade with STARTTLS or fail.
    curl_easy_setopt(h, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!config.ca_file.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, config.ca_file.c_str());
  } else {
    curl_easy_setopt(h, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_NONE));
  }
  if (!user.empty()) {
    curl_easy_setopt(h, CURLOPT_USERNAME, user.c_str());
    curl_easy_setopt(h, CURLOPT_PASSWORD, password.c_str());
    // Left to itself libcurl takes the first mechanism the server offers
    // that it knows, GSSAPI say, and does not fall back when it fails.
    curl_easy_setopt(h, CURLOPT_LOGIN_OPTIONS, LoginOptions(mechanisms).c_str());
  }
  return handle;
}

FailureKind Classify(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
      return FailureKind::kUnreachable;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_CERTPROBLEM:
      return FailureKind::kTls;
    case CURLE_LOGIN_DENIED:
      return FailureKind::kCredentials;
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return FailureKind::kLost;
    case CURLE_QUOTE_ERROR:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_FILESIZE_EXCEEDED:
      return FailureKind::kRefused;
    default:
      return FailureKind::kOther;
  }
}

std::string ErrorText(CURLcode code, const char* buffer) {
  if (buffer != nullptr && *buffer != '\0') return buffer;
  return curl_easy_strerror(code);
}

}  // namespace velnet
