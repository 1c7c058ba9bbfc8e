#include "net/outbox.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <vector>

#include "file_system.h"
#include "net/netlog.h"
#include "net/outbox_list.h"
#include "net/report.h"
#include "net/smtp.h"
#include "platform.h"

namespace velnet {
namespace {

// How long the thread sleeps at most between looks at the queue (another
// process may have spooled meanwhile).
constexpr auto kIdleLook = std::chrono::seconds(2);

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) vel::os::Files().CloseFile(fd);
  }
};

// Records one attempt's outcome in state. Returns true when the message is
// done with (no recipient pending); *taken gets the recipients the server
// accepted in this attempt.
bool Record(const Config& config, const Envelope& envelope, const SmtpOutcome& outcome, int64_t now,
            DeliveryState& state, std::vector<std::string>* taken) {
  for (const auto& r : outcome.recipients) {
    if (state.Accepted(r.address)) continue;
    if (r.code >= 200 && r.code < 300 && outcome.ok) {
      state.accepted.emplace_back(r.address, outcome.reply);
      taken->push_back(r.address);
    }
    if (r.code >= 500) state.refused.emplace_back(r.address, r.reply);
  }
  // A transaction refused for good (at MAIL or at the end of DATA) refuses
  // every recipient still pending; a refused login refuses nobody.
  if (!outcome.ok && outcome.answered && outcome.code >= 500 &&
      outcome.failure != FailureKind::kCredentials) {
    for (const std::string& p : state.Pending(envelope))
      state.refused.emplace_back(p, outcome.reply);
  }
  state.last_reply = outcome.reply;
  std::vector<std::string> pending = state.Pending(envelope);
  if (pending.empty()) return true;
  ++state.attempts;
  const int64_t age = now - envelope.queued_at;
  if (age >= static_cast<int64_t>(config.retry_for)) {
    for (const std::string& p : pending)
      state.refused.emplace_back(p, "not delivered in " + std::to_string(config.retry_for) +
                                        " seconds; last: " + outcome.reply);
    return true;
  }
  state.next_attempt = now + config.RetryDelay(age);
  return false;
}

// One attempt at a message: the servers in turn, from the one that last
// answered for this user, until one answers.
class Attempts {
 public:
  Attempts(const Config& config, const std::map<std::string, std::string>& credentials)
      : config_(config), credentials_(credentials) {}

  SmtpOutcome Send(const std::string& id, const SpoolEntry& entry, int fd) {
    const std::string& user = entry.envelope.user;
    SmtpOutcome outcome;
    if (auto refused = login_refused_.find(user); refused != login_refused_.end()) {
      // Once refused, the login is not tried again in this pass.
      outcome.answered = true;
      outcome.failure = FailureKind::kCredentials;
      outcome.code = refused->second.first;
      outcome.reply = refused->second.second;
      return outcome;
    }
    if (all_down_[user]) {
      outcome.reply = "no server could be reached";
      return outcome;
    }
    const std::vector<std::string> pending = entry.state.Pending(entry.envelope);
    const size_t start = first_server_[user];
    for (size_t k = 0; k < config_.smtp_servers.size(); ++k) {
      const size_t index = (start + k) % config_.smtp_servers.size();
      auto& sender = senders_[{user, index}];
      if (!sender)
        sender = std::make_unique<SmtpSender>(config_, config_.smtp_servers[index], user,
                                              credentials_.at(user));
      outcome = sender->Send(entry.envelope.from, pending, fd, entry.message_offset);
      if (outcome.answered) {
        first_server_[user] = index;
        if (outcome.failure == FailureKind::kCredentials) {
          outcome.reply = "login refused by " + config_.smtp_servers[index] + ": " + outcome.reply;
          login_refused_[user] = {outcome.code, outcome.reply};
          sender.reset();
        }
        return outcome;
      }
      Log(config_.log,
          "message " + id + ": " + config_.smtp_servers[index] + " failed: " + outcome.reply);
      sender.reset();  // its connection is no use any more
      if (outcome.failure == FailureKind::kLost) return outcome;  // it broke part way
    }
    all_down_[user] = true;
    return outcome;
  }

 private:
  const Config& config_;
  const std::map<std::string, std::string>& credentials_;
  // One sender per user and server, made when first needed, so that the
  // messages of a pass share connections.
  std::map<std::pair<std::string, size_t>, std::unique_ptr<SmtpSender>> senders_;
  std::map<std::string, size_t> first_server_;  // the server that last answered, per user
  std::map<std::string, bool> all_down_;        // no server answered for this user this pass
  std::map<std::string, std::pair<int, std::string>> login_refused_;
};

// After a message is done with some recipients failed: the report to its
// sender is spooled (and appended by DeliverReports).
void ReportFailure(const Config& config, const Spool& spool, const SpoolEntry& entry,
                   const DeliveryState& state, int fd, PassReport* report) {
  const std::string text = BuildFailureReport(config, entry, state, fd);
  if (text.empty() || !SpoolReport(spool, entry.id, entry.envelope.user, text)) {
    ++report->unsaved;
    Log(config.log, "message " + entry.id + ": the report to its sender could not be spooled");
  }
}

}  // namespace

PassReport DeliverPass(const Config& config, const std::map<std::string, std::string>& credentials,
                       bool force) {
  PassReport report;
  Spool spool(config.spool);
  const int64_t now = std::time(nullptr);
  Attempts attempts(config, credentials);
  for (const std::string& id : spool.Queued()) {
    Fd fd{spool.OpenLocked(id)};
    if (fd.fd < 0) continue;  // gone, or another process has it
    std::string damage;
    std::optional<SpoolEntry> entry = spool.Load(id, false, &damage);
    if (!entry) {
      if (damage.empty()) continue;  // gone meanwhile
      spool.Quarantine(id, damage);
      ++report.quarantined;
      Log(config.log, "message " + id + " put in quarantine: " + damage);
      continue;
    }
    const std::string& user = entry->envelope.user;
    if (!credentials.count(user)) continue;  // waits for its user
    DeliveryState& state = entry->state;
    if (!force && state.next_attempt > now) continue;
    if (std::string bad = spool.Verify(fd.fd, *entry); !bad.empty()) {
      spool.Quarantine(id, bad);
      ++report.quarantined;
      Log(config.log, "message " + id + " of " + user + " put in quarantine: " + bad);
      continue;
    }

    SmtpOutcome outcome = attempts.Send(id, *entry, fd.fd);
    if (outcome.failure == FailureKind::kCredentials) {
      if (!report.login_refused.count(user)) {
        spool.Hold(user, outcome.reply);
        Log(config.log, "queue of " + user + " held: " + outcome.reply);
      }
      report.login_refused[user] = outcome.reply;
    } else if (outcome.answered) {
      spool.Release(user);
    }
    std::vector<std::string> taken;
    const bool done = Record(config, entry->envelope, outcome, now, state, &taken);
    // The state of a deferred message is written first, then what a server
    // took goes to sent.log: once accepted, a message is never sent to that
    // recipient again, whatever fails below.
    if (!done && !spool.SaveState(id, state)) {
      ++report.unsaved;
      Log(config.log, "message " + id + ": its delivery state could not be written");
    }
    if (!taken.empty()) {
      // (A deferred attempt was counted in the state already.)
      const uint32_t attempt = done ? state.attempts + 1 : state.attempts;
      if (!spool.LogSent(id, entry->envelope, taken, outcome.reply, attempt,
                         SpooledSubject(fd.fd, entry->message_offset))) {
        ++report.unsaved;
        Log(config.log, "message " + id + ": sent.log could not be written");
      }
    }
    Log(config.log, "message " + id + " from " + user + ": " +
                        (done ? (state.refused.empty() ? "delivered" : "done with failures")
                              : "attempt " + std::to_string(state.attempts) + " deferred") +
                        ": " + outcome.reply);
    if (done) {
      for (const auto& [who, reply] : state.refused)
        Log(config.log, "message " + id + ": " + who + " failed: " + reply);
      if (!state.refused.empty()) ReportFailure(config, spool, *entry, state, fd.fd, &report);
      ++(state.refused.empty() ? report.delivered : report.failed);
      if (!spool.Finish(id, state)) {
        ++report.unsaved;
        Log(config.log, "message " + id + ": its record could not be completed");
      }
    } else {
      ++report.deferred;
      report.last_deferral = outcome.reply;
    }
  }
  DeliverReports(config, credentials);
  report.still_queued = spool.Queued().size();
  return report;
}

Outbox& Outbox::Instance() {
  // Never destroyed: the thread may be running when the process exits.
  static Outbox* outbox = new Outbox();
  return *outbox;
}

Outbox::~Outbox() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Outbox::Attach(const Config& config, const std::string& user, const std::string& password) {
  std::lock_guard lock(mutex_);
  config_ = config;
  configured_ = true;
  auto& slot = users_[user];
  slot.first = password;
  ++slot.second;
  woken_ = true;
  if (!thread_.joinable()) {
    thread_ = std::thread([this] { Run(); });
    // Never joined: the process may end with it waiting.
    thread_.detach();
  }
  wake_.notify_all();
}

void Outbox::Detach(const std::string& user) {
  std::lock_guard lock(mutex_);
  auto it = users_.find(user);
  if (it != users_.end() && --it->second.second <= 0) users_.erase(it);
}

void Outbox::Wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  wake_.notify_all();
}

size_t Outbox::DueFor(const std::string& user) {
  Spool spool(config_.spool);
  const int64_t now = std::time(nullptr);
  size_t n = 0;
  for (const std::string& id : spool.Queued()) {
    auto entry = spool.Load(id);
    if (entry && entry->envelope.user == user && entry->state.next_attempt <= now) ++n;
  }
  return n;
}

bool Outbox::Drain(const std::string& user, uint32_t seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!configured_ || DueFor(user) == 0) return true;
    if (drained_.wait_until(lock, deadline) == std::cv_status::timeout) return DueFor(user) == 0;
  }
}

void Outbox::Run() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    Config config = config_;
    std::map<std::string, std::string> credentials;
    for (const auto& [user, slot] : users_) credentials[user] = slot.first;
    woken_ = false;
    lock.unlock();
    DeliverPass(config, credentials, false);
    lock.lock();
    drained_.notify_all();
    if (!woken_) wake_.wait_for(lock, kIdleLook, [this] { return woken_ || stop_; });
  }
}

}  // namespace velnet
