#include "outbox.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <vector>

#include "netlog.h"
#include "smtp.h"

namespace velnet {
namespace {

// How long the thread sleeps at most between looks at the queue (another
// process may have spooled meanwhile).
constexpr auto kIdleLook = std::chrono::seconds(2);

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// Records one attempt's outcome in state. Returns true when the message is
// done with (no recipient pending).
bool Record(const Config& config, const Envelope& envelope, const SmtpOutcome& outcome,
            DeliveryState& state) {
  for (const auto& r : outcome.recipients) {
    if (r.code >= 200 && r.code < 300 && outcome.ok) state.accepted.push_back(r.address);
    if (r.code >= 500) state.refused.emplace_back(r.address, r.reply);
  }
  // A transaction refused for good after its recipients were accepted
  // (at MAIL or at the end of DATA) refuses them all.
  if (!outcome.ok && outcome.answered && outcome.code >= 500 &&
      outcome.failure != FailureKind::kCredentials) {
    for (const std::string& p : state.Pending(envelope))
      state.refused.emplace_back(p, outcome.reply);
  }
  state.last_reply = outcome.reply;
  std::vector<std::string> pending = state.Pending(envelope);
  if (pending.empty()) return true;
  ++state.attempts;
  if (state.attempts >= config.retry_attempts) {
    for (const std::string& p : pending)
      state.refused.emplace_back(p, "retries used up; last: " + outcome.reply);
    return true;
  }
  state.next_attempt = std::time(nullptr) + config.retry_delay;
  return false;
}

}  // namespace

size_t DeliverPass(const Config& config, const std::map<std::string, std::string>& credentials,
                   bool force) {
  Spool spool(config.spool);
  const int64_t now = std::time(nullptr);
  // One sender per user and server, made when first needed, so that the
  // messages of a pass share connections.
  std::map<std::pair<std::string, size_t>, std::unique_ptr<SmtpSender>> senders;
  std::map<std::string, size_t> first_server;  // the server that last answered, per user
  std::map<std::string, bool> all_down;        // no server answered for this user this pass
  for (const std::string& id : spool.Queued()) {
    Fd fd{spool.OpenLocked(id)};
    if (fd.fd < 0) continue;  // gone, or another process has it
    uint64_t offset = 0;
    std::optional<SpoolEntry> entry = spool.Load(id, false, &offset);
    if (!entry) continue;
    const std::string& user = entry->envelope.user;
    auto cred = credentials.find(user);
    if (cred == credentials.end()) continue;  // waits for its user
    DeliveryState& state = entry->state;
    if (!force && state.next_attempt > now) continue;
    std::vector<std::string> pending = state.Pending(entry->envelope);

    SmtpOutcome outcome;
    if (all_down[user]) {
      outcome.reply = "no server could be reached";
    } else {
      size_t start = first_server[user];
      for (size_t k = 0; k < config.smtp_servers.size(); ++k) {
        size_t index = (start + k) % config.smtp_servers.size();
        auto& sender = senders[{user, index}];
        if (!sender)
          sender =
              std::make_unique<SmtpSender>(config, config.smtp_servers[index], user, cred->second);
        outcome = sender->Send(entry->envelope.from, pending, fd.fd, offset);
        if (outcome.answered) {
          first_server[user] = index;
          break;
        }
        Log(config.log,
            "message " + id + ": " + config.smtp_servers[index] + " failed: " + outcome.reply);
        sender.reset();                                    // its connection is no use any more
        if (outcome.failure == FailureKind::kLost) break;  // it broke part way: retry later
      }
      if (!outcome.answered && outcome.failure != FailureKind::kLost) all_down[user] = true;
    }

    bool done = Record(config, entry->envelope, outcome, state);
    Log(config.log, "message " + id + " from " + user + ": " +
                        (done ? (state.refused.empty() ? "delivered" : "done with failures")
                              : "attempt " + std::to_string(state.attempts) + " deferred") +
                        ": " + outcome.reply);
    bool saved = done ? spool.Finish(id, entry->envelope, state) : spool.SaveState(id, state);
    if (done)
      for (const auto& [who, reply] : state.refused)
        Log(config.log, "message " + id + ": " + who + " refused: " + reply);
    if (!saved) Log(config.log, "message " + id + ": its delivery state could not be written");
  }
  return spool.Queued().size();
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

size_t Outbox::QueuedFor(const std::string& user) {
  Spool spool(config_.spool);
  size_t n = 0;
  for (const std::string& id : spool.Queued()) {
    auto entry = spool.Load(id);
    if (entry && entry->envelope.user == user) ++n;
  }
  return n;
}

bool Outbox::Drain(const std::string& user, uint32_t seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!configured_ || QueuedFor(user) == 0) return true;
    if (drained_.wait_until(lock, deadline) == std::cv_status::timeout) return QueuedFor(user) == 0;
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
