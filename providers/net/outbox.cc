#include "net/outbox.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "file_system.h"
#include "mutex.h"
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
// Woken by a message spooled, the thread delivers once none came for
// kSpoolingPause, and never later than kSpoolingLimit after it was woken.
constexpr auto kSpoolingPause = std::chrono::milliseconds(20);
constexpr auto kSpoolingLimit = std::chrono::milliseconds(250);

// An open descriptor, closed once, by its one owner.
struct Fd {
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) vel::os::Files().CloseFile(fd);
  }
  // Gives the descriptor up to another owner.
  int Release() { return std::exchange(fd, -1); }
  int fd;
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
  ++state.attempts;
  std::vector<std::string> pending = state.Pending(envelope);
  if (pending.empty()) return true;
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
// answered for this user, until one answers. Shared by the sessions of a
// pass: what one learns of a user's servers (none answers, the login is
// refused) holds for the others.
class Attempts {
 public:
  Attempts(const Config& config, const std::map<std::string, std::string>& credentials,
           SmtpSessions& senders)
      : config_(config), credentials_(credentials), senders_(senders) {}

  // user: the name of entry's user whose credentials are known.
  SmtpOutcome Send(const std::string& id, const std::string& user, const SpoolEntry& entry, int fd,
                   const std::function<void()>& before_end, size_t lane) {
    SmtpOutcome outcome;
    size_t start = 0;
    {
      vel::os::MutexLock lock(mutex_);
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
      start = first_server_[user];
    }
    const std::vector<std::string> pending = entry.state.Pending(entry.envelope);
    for (size_t k = 0; k < config_.smtp_servers.size(); ++k) {
      const size_t index = (start + k) % config_.smtp_servers.size();
      SmtpSender& sender = senders_.For(config_, user, index, credentials_.at(user), lane);
      outcome = sender.Send(entry.envelope.from, pending, fd, entry.message_offset, before_end);
      if (outcome.answered) {
        vel::os::MutexLock lock(mutex_);
        first_server_[user] = index;
        if (outcome.failure == FailureKind::kCredentials) {
          outcome.reply = "login refused by " + config_.smtp_servers[index] + ": " + outcome.reply;
          login_refused_[user] = {outcome.code, outcome.reply};
          lock.Unlock();
          senders_.Forget(user, index, lane);
        }
        return outcome;
      }
      Log(config_.log,
          "message " + id + ": " + config_.smtp_servers[index] + " failed: " + outcome.reply);
      senders_.Forget(user, index, lane);  // its connection is no use any more
      if (outcome.failure == FailureKind::kLost) return outcome;  // it broke part way
    }
    return outcome;
  }
  // No server answered for user: the rest of the pass does not try them.
  void NoneAnswered(const std::string& user) {
    vel::os::MutexLock lock(mutex_);
    all_down_[user] = true;
  }

 private:
  const Config& config_;
  const std::map<std::string, std::string>& credentials_;
  // One sender per user, server and session of the pass, made when first
  // needed, so that the messages of a pass (and of the passes after it)
  // share connections.
  SmtpSessions& senders_;
  vel::os::Mutex mutex_;
  // the server that last answered, per user
  std::map<std::string, size_t> first_server_ VEL_GUARDED_BY(mutex_);
  // no server answered for this user this pass
  std::map<std::string, bool> all_down_ VEL_GUARDED_BY(mutex_);
  std::map<std::string, std::pair<int, std::string>> login_refused_ VEL_GUARDED_BY(mutex_);
};

// One thread that runs tasks in the order they are handed over.
class SerialWorker {
 public:
  ~SerialWorker() {
    Wait();
    {
      vel::os::MutexLock lock(mutex_);
      stop_ = true;
    }
    more_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  // With no thread to be had, the task runs here and now (none is
  // waiting then: there was no thread to hand one to).
  void Post(std::function<void()> task) {
    {
      vel::os::MutexLock lock(mutex_);
      if (!thread_.joinable()) {
        try {
          thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
          lock.Unlock();
          task();
          return;
        }
      }
      tasks_.push_back(std::move(task));
    }
    more_.notify_all();
  }
  // Until every task handed over has run.
  void Wait() {
    vel::os::MutexLock lock(mutex_);
    while (!tasks_.empty() || busy_) lock.Wait(done_);
  }

 private:
  void Run() {
    vel::os::MutexLock lock(mutex_);
    for (;;) {
      while (!stop_ && tasks_.empty()) lock.Wait(more_);
      if (tasks_.empty()) return;
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      busy_ = true;
      lock.Unlock();
      task();
      lock.Lock();
      busy_ = false;
      done_.notify_all();
    }
  }
  vel::os::Mutex mutex_;
  std::condition_variable_any more_, done_;
  std::deque<std::function<void()>> tasks_ VEL_GUARDED_BY(mutex_);
  bool busy_ VEL_GUARDED_BY(mutex_) = false;
  bool stop_ VEL_GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

// The bookkeeping of a message every recipient of which a server took --
// its sent.log line, then its leaving the queue for good (Spool::Retire),
// then its file becoming a spare -- done on threads of its own while the
// next message's transaction goes on, so that the disk's waits and the
// server's overlap. The sender waits for the first two before it sends the
// end of the next message (see Recorded), so that a crash, whenever it
// comes, repeats at most the one transaction under way: every message
// taken before it has its line and is out of the queue on disk, however
// slowly the disk flushes.
class Recorder {
 public:
  // unsaved is called (on the recorder's threads) for each record that
  // could not be written.
  Recorder(const Config& config, const Spool& spool, std::function<void()> unsaved)
      : config_(config), spool_(spool), unsaved_(std::move(unsaved)) {}
  ~Recorder() { Wait(); }

  // fd owns the message's descriptor, and with it the lock.
  void Delivered(const SpoolEntry& entry, DeliveryState state, std::vector<std::string> taken,
                 std::string reply, std::shared_ptr<Fd> fd) {
    auto item = std::make_shared<Item>();
    item->fd = std::move(fd);
    item->entry = entry;
    item->state = std::move(state);
    item->taken = std::move(taken);
    item->reply = std::move(reply);
    logger_.Post([this, item] {
      const SpoolEntry& e = item->entry;
      if (!spool_.LogSent(e.id, e.envelope, item->taken, item->reply, item->state.attempts,
                          SpooledSubject(item->fd->fd, e.message_offset))) {
        unsaved_();
        Log(config_.log, "message " + e.id + ": sent.log could not be written");
      }
      Log(config_.log,
          "message " + e.id + " from " + e.envelope.user + ": delivered: " + item->reply);
      bool spare = false;
      if (!spool_.Retire(e.id, &spare)) {
        unsaved_();
        Log(config_.log, "message " + e.id + ": its leaving the queue could not be written");
      }
      item->fd.reset();  // the lock goes only once the message has left the queue
      if (spare) finisher_.Post([this, id = e.id] { spool_.Reuse(id); });
    });
  }
  // Until every message handed over has its sent.log line and is out of
  // the queue on disk.
  void Recorded() { logger_.Wait(); }
  // Until every message handed over has left the queue.
  void Wait() {
    logger_.Wait();
    finisher_.Wait();
  }

 private:
  struct Item {
    SpoolEntry entry;
    DeliveryState state;
    std::vector<std::string> taken;
    std::string reply;
    std::shared_ptr<Fd> fd;
  };
  const Config& config_;
  const Spool& spool_;
  const std::function<void()> unsaved_;
  // Declared last: their threads end before the rest goes.
  SerialWorker finisher_;
  SerialWorker logger_;
};

// A pass over the queue, listed once at its start and handed out in that
// order (oldest first) to up to config.connections sessions, each with a
// thread, a connection per user and server (kept in SmtpSessions) and a
// Recorder of its own; a message is delivered by one of them, under its
// file's lock. What they did is added up here.
class Pass {
 public:
  Pass(const Config& config, const std::map<std::string, std::string>& credentials, bool force,
       SmtpSessions& sessions)
      : config_(config),
        credentials_(credentials),
        force_(force),
        spool_(config.spool),
        now_(std::time(nullptr)),
        attempts_(config, credentials, sessions),
        ids_(spool_.Queued()) {}

  PassReport Run() {
    const size_t lanes = std::min<size_t>(std::max<uint32_t>(config_.connections, 1), ids_.size());
    {
      vel::os::MutexLock lock(mutex_);
      active_ = std::max<size_t>(lanes, 1);
    }
    std::vector<std::thread> others;
    for (size_t lane = 1; lane < lanes; ++lane) {
      try {
        others.emplace_back([this, lane] { Lane(lane); });
      } catch (const std::system_error&) {
        // No thread to be had: fewer sessions.
        vel::os::MutexLock lock(mutex_);
        active_ -= lanes - lane;
        break;
      }
    }
    Lane(0);
    for (std::thread& t : others) t.join();
    vel::os::MutexLock lock(mutex_);
    return report_;
  }

 private:
  // A message for a session: one handed back by another session (with
  // its descriptor, still locked), else the next of the listing; nothing
  // when all are taken, and the session then leaves the pass (*left).
  struct Job {
    std::string id;
    std::unique_ptr<Fd> held;
  };
  std::optional<Job> Next(bool* left) {
    vel::os::MutexLock lock(mutex_);
    if (!handed_back_.empty()) {
      Job job = std::move(handed_back_.front());
      handed_back_.pop_front();
      return job;
    }
    if (next_ < ids_.size()) return Job{ids_[next_++], nullptr};
    Leave(left);
    return std::nullopt;
  }
  void Leave(bool* left) VEL_REQUIRES(mutex_) {
    if (!*left) --active_;
    *left = true;
  }
  // A session that failed before a message's transaction got anywhere
  // (SessionFailed) hands the message to the pass's other sessions and
  // leaves the pass, so that a server that takes fewer sessions at once than
  // there are, or one that cannot be reached on another connection, delays
  // nothing another session can send. False when no other session will
  // ask for a message: the caller records the attempt as its own.
  bool HandBack(const std::string& id, Fd& fd, bool* left) {
    vel::os::MutexLock lock(mutex_);
    if (active_ <= 1) return false;
    // (The descriptor moves once nothing can fail, so it is closed once.)
    handed_back_.push_back(Job{id, std::make_unique<Fd>(-1)});
    handed_back_.back().held->fd = fd.Release();
    Leave(left);
    return true;
  }
  void Count(size_t PassReport::*field) {
    vel::os::MutexLock lock(mutex_);
    ++(report_.*field);
  }
  void Lane(size_t lane) {
    // Out of memory, a session stops; its message stays queued (its lock
    // goes with its descriptor) for another session or the next pass.
    bool left = false;
    try {
      Recorder recorder(config_, spool_, [this] { Count(&PassReport::unsaved); });
      while (std::optional<Job> job = Next(&left)) {
        Deliver(std::move(*job), lane, recorder, &left);
        if (left) break;
      }
    } catch (const std::bad_alloc&) {
      {
        vel::os::MutexLock lock(mutex_);
        Leave(&left);
      }
      Log(config_.log, "a delivery session stopped: out of memory");
    }
  }
  void Quarantine(const std::string& id, const std::string& why, const std::string& logged) {
    spool_.Quarantine(id, why);
    Count(&PassReport::quarantined);
    Log(config_.log, logged);
  }
  // After a message is done with some recipients failed: the report to
  // its sender is spooled (and appended by DeliverReports).
  void ReportFailure(const SpoolEntry& entry, const DeliveryState& state, int fd) {
    const std::string text = BuildFailureReport(config_, entry, state, fd);
    if (text.empty() || !SpoolReport(spool_, entry.id, entry.envelope.user, text)) {
      Count(&PassReport::unsaved);
      Log(config_.log, "message " + entry.id + ": the report to its sender could not be spooled");
    }
  }
  // *left is set when the session handed the message back and leaves the
  // pass.
  void Deliver(Job job, size_t lane, Recorder& recorder, bool* left);

  const Config& config_;
  const std::map<std::string, std::string>& credentials_;
  const bool force_;
  const Spool spool_;
  const int64_t now_;
  Attempts attempts_;
  const std::vector<std::string> ids_;
  vel::os::Mutex mutex_;
  size_t next_ VEL_GUARDED_BY(mutex_) = 0;
  std::deque<Job> handed_back_ VEL_GUARDED_BY(mutex_);
  size_t active_ VEL_GUARDED_BY(mutex_) = 0;  // sessions that will still ask for a message
  PassReport report_ VEL_GUARDED_BY(mutex_);
};

// The session failed before the message's transaction got anywhere --
// no server answered, or one refused the session, the login for now or
// the sender for now -- so nothing of it was taken and nothing learnt of
// its recipients: another session may as well try it now.
bool SessionFailed(const SmtpOutcome& outcome, bool end_sent) {
  return !outcome.ok && !end_sent && outcome.recipients.empty() &&
         outcome.failure != FailureKind::kCredentials && !(outcome.answered && outcome.code >= 500);
}

void Pass::Deliver(Job job, size_t lane, Recorder& recorder, bool* left) {
  const std::string& id = job.id;
  Fd fd{job.held ? job.held->Release() : spool_.OpenLocked(id)};
  if (fd.fd < 0) return;  // gone, or another process has it
  std::string damage;
  std::optional<SpoolEntry> entry = spool_.Load(id, false, &damage);
  if (!entry) {
    if (damage.empty()) return;  // gone meanwhile
    Quarantine(id, damage, ("message " + id).append(" put in quarantine: ").append(damage));
    return;
  }
  const auto* known = CredentialsOf(credentials_, entry->envelope.user);
  if (known == nullptr) return;  // waits for its user
  const std::string& user = known->first;
  DeliveryState& state = entry->state;
  if (!force_ && config_.DueAt(state.next_attempt, now_) > now_) return;
  if (std::string bad = spool_.Verify(fd.fd, *entry); !bad.empty()) {
    Quarantine(
        id, bad,
        ("message " + id).append(" of ").append(user).append(" put in quarantine: ").append(bad));
    // Its sender learns that it will never go.
    DeliveryState lost = state;
    for (const std::string& pending : state.Pending(entry->envelope))
      lost.refused.emplace_back(pending, "not sent: its queued copy is damaged (" + bad + ")");
    ReportFailure(*entry, lost, fd.fd);
    return;
  }

  bool end_sent = false;
  SmtpOutcome outcome = attempts_.Send(
      id, user, *entry, fd.fd,
      [&recorder, &end_sent] {
        end_sent = true;
        recorder.Recorded();
      },
      lane);
  if (SessionFailed(outcome, end_sent) && HandBack(id, fd, left)) {
    Log(config_.log, "message " + id + ": handed to another delivery session: " + outcome.reply);
    return;
  }
  if (!outcome.answered && outcome.failure != FailureKind::kLost) attempts_.NoneAnswered(user);
  if (outcome.failure == FailureKind::kCredentials) {
    vel::os::MutexLock lock(mutex_);
    if (!report_.login_refused.count(user)) {
      spool_.Hold(user, outcome.reply);
      Log(config_.log, "queue of " + user + " held: " + outcome.reply);
    }
    report_.login_refused[user] = outcome.reply;
  } else if (outcome.answered) {
    spool_.Release(user);
  }
  std::vector<std::string> taken;
  const bool done = Record(config_, entry->envelope, outcome, now_, state, &taken);
  if (done && state.refused.empty() && !taken.empty()) {
    // Delivered: recorded beside the next message's transaction.
    Count(&PassReport::delivered);
    // The descriptor changes owner only once nothing can fail in between,
    // so that it is closed once whatever throws.
    auto owner = std::make_shared<Fd>(-1);
    owner->fd = fd.Release();
    recorder.Delivered(*entry, state, std::move(taken), outcome.reply, std::move(owner));
    return;
  }
  // Anything else is recorded here, after what is under way.
  recorder.Wait();
  // The state of a deferred message is written first, then what a server
  // took goes to sent.log: once accepted, a message is never sent to that
  // recipient again, whatever fails below.
  if (!done && !spool_.SaveState(id, state)) {
    Count(&PassReport::unsaved);
    Log(config_.log, "message " + id + ": its delivery state could not be written");
  }
  if (!taken.empty()) {
    if (!spool_.LogSent(id, entry->envelope, taken, outcome.reply, state.attempts,
                        SpooledSubject(fd.fd, entry->message_offset))) {
      Count(&PassReport::unsaved);
      Log(config_.log, "message " + id + ": sent.log could not be written");
    }
  }
  std::string summary = ("message " + id).append(" from ").append(user).append(": ");
  if (done)
    summary += state.refused.empty() ? "delivered" : "done with failures";
  else
    summary.append("attempt ").append(std::to_string(state.attempts)).append(" deferred");
  Log(config_.log, summary.append(": ").append(outcome.reply));
  if (!done) {
    vel::os::MutexLock lock(mutex_);
    ++report_.deferred;
    report_.last_deferral = outcome.reply;
    return;
  }
  for (const auto& [who, reply] : state.refused)
    Log(config_.log, ("message " + id).append(": ").append(who).append(" failed: ").append(reply));
  if (!state.refused.empty()) ReportFailure(*entry, state, fd.fd);
  Count(state.refused.empty() ? &PassReport::delivered : &PassReport::failed);
  if (!spool_.Finish(id, state)) {
    Count(&PassReport::unsaved);
    Log(config_.log, "message " + id + ": its record could not be completed");
  }
  return;
}

}  // namespace

SmtpSender& SmtpSessions::For(const Config& config, const std::string& user, size_t index,
                              const std::string& password, size_t lane) {
  vel::os::MutexLock lock(mutex_);
  Kept& kept = kept_[Key{user, index, lane}];
  if (!kept.sender || kept.url != config.smtp_servers[index] || kept.password != password) {
    kept.sender.reset();  // its connection ends first
    kept.sender = std::make_unique<SmtpSender>(config, config.smtp_servers[index], user, password);
    kept.url = config.smtp_servers[index];
    kept.password = password;
  }
  return *kept.sender;
}

void SmtpSessions::Forget(const std::string& user, size_t index, size_t lane) {
  std::unique_ptr<SmtpSender> gone;  // its connection ends outside the lock
  vel::os::MutexLock lock(mutex_);
  auto it = kept_.find(Key{user, index, lane});
  if (it == kept_.end()) return;
  gone = std::move(it->second.sender);
  kept_.erase(it);
}

void SmtpSessions::Retain(const std::map<std::string, std::string>& credentials) {
  vel::os::MutexLock lock(mutex_);
  std::erase_if(kept_,
                [&](const auto& kept) { return !credentials.count(std::get<0>(kept.first)); });
}

void SmtpSessions::Close() {
  vel::os::MutexLock lock(mutex_);
  kept_.clear();
}

PassReport DeliverPass(const Config& config, const std::map<std::string, std::string>& credentials,
                       bool force, SmtpSessions* sessions) {
  SmtpSessions own;
  if (sessions == nullptr) sessions = &own;
  sessions->Retain(credentials);
  PassReport report = Pass(config, credentials, force, *sessions).Run();
  // The reports it spooled are appended apart from it (report.h).
  report.still_queued = Spool(config.spool).Queued().size();
  return report;
}

Outbox& Outbox::Instance() {
  // Never destroyed: the thread may be running when the process exits.
  static Outbox* outbox = new Outbox();
  return *outbox;
}

Outbox::~Outbox() {
  {
    vel::os::MutexLock lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Outbox::Attach(const Config& config, const std::string& user, const std::string& password) {
  vel::os::MutexLock lock(mutex_);
  config_ = config;
  configured_ = true;
  ++generation_;
  auto& slot = users_[user];
  slot.first = password;
  ++slot.second;
  woken_ = true;
  urgent_ = true;
  if (!started_) {
    // One thread for the process. (A detached thread is not joinable, so
    // that cannot tell whether it runs: each logon started another one,
    // and their passes raced, appending one report twice.)
    started_ = true;
    thread_ = std::thread([this] { Run(); });
    // Never joined: the process may end with it waiting.
    thread_.detach();
  }
  wake_.notify_all();
}

void Outbox::Detach(const std::string& user) {
  vel::os::MutexLock lock(mutex_);
  auto it = users_.find(user);
  if (it != users_.end() && --it->second.second <= 0) users_.erase(it);
}

void Outbox::Wake() {
  {
    vel::os::MutexLock lock(mutex_);
    woken_ = true;
    urgent_ = true;
  }
  wake_.notify_all();
}

void Outbox::Spooled() {
  {
    vel::os::MutexLock lock(mutex_);
    woken_ = true;
    last_spooled_ = std::chrono::steady_clock::now();
  }
  wake_.notify_all();
}

size_t Outbox::DueFor(const std::string& user) {
  Spool spool(config_.spool);
  const int64_t now = std::time(nullptr);
  size_t n = 0;
  for (const std::string& id : spool.Queued()) {
    auto entry = spool.Load(id);
    if (entry && UserKey(entry->envelope.user) == UserKey(user) &&
        config_.DueAt(entry->state.next_attempt, now) <= now)
      ++n;
  }
  return n;
}

bool Outbox::Drain(const std::string& user, uint32_t seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  vel::os::MutexLock lock(mutex_);
  for (;;) {
    if (!configured_ || DueFor(user) == 0) return true;
    if (!lock.WaitUntil(drained_, deadline)) return DueFor(user) == 0;
  }
}

void Outbox::Run() {
  // The connections outlive a pass while the next one follows within
  // kIdleLook; they end when the thread has been idle that long, and when
  // a logon brings a configuration (perhaps another one).
  SmtpSessions sessions;
  // Reports are appended on a thread of their own: no message waits for them.
  ReportDelivery reports;
  vel::os::MutexLock lock(mutex_);
  uint64_t generation = generation_;
  bool sending = false;  // the last pass had mail to send
  while (!stop_) {
    // Only messages spooled woke it: let the sending go on. A logoff's
    // drain, a logon and the end of the process cut the wait short, and
    // so does mail still coming in while the last pass had mail to send:
    // a stream is delivered as it goes, not in passes a wait apart.
    if (woken_ && !urgent_ && !sending) {
      const auto latest = std::chrono::steady_clock::now() + kSpoolingLimit;
      for (;;) {
        const auto until = std::min(last_spooled_ + kSpoolingPause, latest);
        if (stop_ || urgent_ || std::chrono::steady_clock::now() >= until) break;
        lock.WaitUntil(wake_, until);
      }
    }
    urgent_ = false;
    Config config = config_;
    std::map<std::string, std::string> credentials;
    for (const auto& [user, slot] : users_) credentials[user] = slot.first;
    const bool reconfigured = generation != generation_;
    generation = generation_;
    woken_ = false;
    lock.Unlock();
    if (reconfigured) sessions.Close();
    const PassReport report = DeliverPass(config, credentials, false, &sessions);
    reports.Post(config, credentials);
    sending = report.delivered + report.failed + report.deferred > 0;
    lock.Lock();
    drained_.notify_all();
    if (!woken_) {
      const auto idle_until = std::chrono::steady_clock::now() + kIdleLook;
      while (!woken_ && !stop_ && lock.WaitUntil(wake_, idle_until)) {
      }
      if (!woken_ && !stop_) {
        lock.Unlock();
        sessions.Close();  // (a QUIT and its answer: not under the lock)
        lock.Lock();
      }
    }
  }
}

}  // namespace velnet
