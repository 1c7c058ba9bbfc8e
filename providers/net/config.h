// The provider's configuration: one INI file, its path in VELNET_CONFIG.
// Sections and keys are those of docs/PROVIDERS.md, "Real mail"; a ';'
// or '#' starts a comment, at the start of a line or after a value.
#ifndef VELNET_CONFIG_H
#define VELNET_CONFIG_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "net/sample_config.h"

namespace velnet {

enum class TlsMode { kRequired, kNone };

struct Config {
  std::string imap_url;                   // imap://host[:port]/MAILBOX or imaps://
  std::string mailbox;                    // the mailbox part of imap_url, decoded
  std::vector<std::string> smtp_servers;  // smtp:// or smtps://, tried in order
  TlsMode tls = TlsMode::kRequired;
  std::string ca_file;              // empty: the system's trusted authorities
  std::string domain;               // completes a bare recipient name
  std::string from;                 // %u: the logged-on user; default %u@domain
  std::string spool;                // absolute
  uint32_t retry_for = 5 * 86400;   // seconds a message stays queued before it fails
  uint32_t retry_delay = 60;        // seconds before the first retry
  uint32_t retry_max_delay = 3600;  // the longest wait between two attempts
  uint32_t connect_timeout = 10;    // seconds
  uint32_t transfer_timeout = 60;   // seconds
  uint64_t max_message_bytes = 26214400;
  uint32_t drain_seconds = 30;
  // SMTP sessions a delivery pass keeps going at once, each taking the
  // next queued message when it is done with one
  uint32_t connections = 2;
  std::string log;                        // absolute; empty: no log
  std::string imap_auth = "PLAIN LOGIN";  // SASL mechanisms offered; "*": libcurl's choice
  std::string smtp_auth = "PLAIN LOGIN";
  uint32_t max_messages = 200000;  // a mailbox holding more is not listed

  // The sender's address for a user: from with every %u replaced. A user
  // name that is an address already (ops@example.org) stands for the
  // whole address where from puts %u before an '@'.
  std::string FromFor(const std::string& user) const;
  // Seconds to wait after a failed attempt at a message queued for age
  // seconds: the age, between retry_delay and retry_max_delay, so that
  // waits grow as a message stays queued.
  int64_t RetryDelay(int64_t age) const;
  // When an attempt stored for next is due, seen at now: next, or now when
  // next is further ahead than any attempt is put off (retry_max_delay), as
  // a clock set back since leaves it; mail then waits no longer than that.
  int64_t DueAt(int64_t next, int64_t now) const;
};

// A user name as the spool compares it: mail servers take user names
// without regard to the case of ASCII letters, so OPS and ops are one user.
std::string UserKey(const std::string& user);
// The credentials of user among credentials (compared by UserKey): the
// entry, or null.
const std::pair<const std::string, std::string>* CredentialsOf(
    const std::map<std::string, std::string>& credentials, const std::string& user);

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
