// The provider's configuration: one INI file, its path in VELNET_CONFIG.
// Sections and keys are those of the README's "Real mail" section; a ';'
// or '#' starts a comment, at the start of a line or after a value.
#ifndef VELNET_CONFIG_H
#define VELNET_CONFIG_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sample_config.h"

namespace velnet {

enum class TlsMode { kRequired, kNone };

struct Config {
  std::string imap_url;                   // imap://host[:port]/MAILBOX or imaps://
  std::string mailbox;                    // the mailbox part of imap_url, decoded
  std::vector<std::string> smtp_servers;  // smtp:// or smtps://, tried in order
  TlsMode tls = TlsMode::kRequired;
  std::string ca_file;  // empty: the system's trusted authorities
  std::string domain;   // completes a bare recipient name
  std::string from;     // %u: the logged-on user; default %u@domain
  std::string spool;    // absolute
  uint32_t retry_attempts = 5;
  uint32_t retry_delay = 60;       // seconds
  uint32_t connect_timeout = 10;   // seconds
  uint32_t transfer_timeout = 60;  // seconds
  uint64_t max_message_bytes = 26214400;
  uint32_t drain_seconds = 30;
  std::string log;                        // absolute; empty: no log
  std::string imap_auth = "PLAIN LOGIN";  // SASL mechanisms offered; "*": libcurl's choice
  std::string smtp_auth = "PLAIN LOGIN";
  uint32_t max_messages = 200000;  // a mailbox holding more is not listed

  // The sender's address for a user: from with every %u replaced.
  std::string FromFor(const std::string& user) const;
};

// Reads and checks the configuration at path. On failure returns nothing
// and sets *error to a sentence that names the file, the line or key, and
// what is wrong with it; *log_path is then the file's log key when it
// could be read, so that the error can go to the log it names.
std::optional<Config> LoadConfig(const std::string& path, std::string* error,
                                 std::string* log_path = nullptr);

// The configuration VELNET_CONFIG names; an unset variable is an error too.
std::optional<Config> LoadConfigFromEnvironment(std::string* error,
                                                std::string* log_path = nullptr);

}  // namespace velnet

#endif
