// Delivery of the spool. One outbox per process delivers every spooled
// message over SMTP on its own thread, with the credentials of a logged-on
// user (kept in memory only while that user has a session); velnet-flush
// runs the same passes in the foreground.
//
// A pass takes the queued messages whose time has come, oldest first, and
// for each user whose credentials are known sends them to the first
// server that answers, going on to the next server when one cannot be
// reached, over up to config.connections connections at once (one per
// session of the pass, each with a message of its own); a session that
// fails before a message's transaction gets anywhere (a server that takes
// fewer sessions at once refuses it for now) hands the message to the
// others and leaves the pass, the last one left recording the failure as
// one session would. The delivery thread keeps those connections for its
// next pass while it has work (SmtpSessions). Woken by a message spooled, the thread first lets the
// sending go on: it starts once none came for kSpoolingPause, or
// kSpoolingLimit after it was woken, so that a run of sends does not share
// the processor with its delivery (and the mail servers' work it brings);
// once a pass had mail to send, the next one starts at once (a stream is
// delivered as it goes). Per message:
//   - a file that is damaged (its length or checksum does not match what
//     was spooled) goes to quarantine/ and is never sent;
//   - every recipient a server accepts is done with: its acceptance is
//     written to the state and to sent.log before anything else;
//   - a recipient refused for good (a 5xx reply, to RCPT, to MAIL or at
//     the end of DATA) is done with, its reply kept;
//   - anything else -- no server reachable, a 4xx, a lost connection, a
//     refused login -- leaves the recipients pending for the next attempt,
//     which waits the message's age, between retry_delay and
//     retry_max_delay; only once the message has been queued for retry_for
//     are the pending recipients failed, with the last reply. A refused
//     login is logged and recorded as what holds the user's queue.
// When no recipient is pending the message leaves the queue: removed when
// all were delivered, else moved to failed/, and a non-delivery report
// goes to the sender's own mailbox (report.h).
// A message is delivered by at most one session of one process at a time
// (its file is locked), and its state is written before that session
// takes its next message, so a crash at any point loses nothing: at most
// the attempts under way (one per session) are repeated after a crash.
#ifndef VELNET_OUTBOX_H
#define VELNET_OUTBOX_H

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include "mutex.h"
#include "net/config.h"
#include "net/smtp.h"
#include "net/spool.h"

namespace velnet {

// What a pass did, for the users whose credentials it had.
struct PassReport {
  size_t delivered = 0;                              // messages done with, every recipient accepted
  size_t failed = 0;                                 // messages done with, some recipient failed
  size_t deferred = 0;                               // messages attempted and left queued
  size_t quarantined = 0;                            // damaged files put aside (of any user)
  size_t unsaved = 0;                                // states or records that could not be written
  std::map<std::string, std::string> login_refused;  // user: the server's reply
  std::string last_deferral;                         // why the last one was deferred
  size_t still_queued = 0;                           // the queue's size after the pass
};

// The SMTP connections of delivery passes, one per user, server and
// session of a pass (see DeliverPass), kept from one pass to the next:
// messages spooled one after another then go over a few sessions, each a
// transaction of its own, instead of each paying for a connection, a TLS
// handshake and a login. A connection is kept only with the server and
// password it was made with. libcurl closes a connection after any
// transaction that failed, so a kept one is always between transactions;
// one the server closed meanwhile is found dead before use and made anew.
// The sessions of a pass call For and Forget at once, each for its own
// lane; a sender is used by the one session it was made for.
class SmtpSessions {
 public:
  // The sender of user to the index-th server for a pass's session lane,
  // made when none is kept or the kept one was made with another server
  // or password.
  SmtpSender& For(const Config& config, const std::string& user, size_t index,
                  const std::string& password, size_t lane = 0);
  // Its connection is no use any more.
  void Forget(const std::string& user, size_t index, size_t lane = 0);
  // Keeps only the connections of these users.
  void Retain(const std::map<std::string, std::string>& credentials);
  void Close();

 private:
  using Key = std::tuple<std::string, size_t, size_t>;  // user, server, lane
  struct Kept {
    std::string url;
    std::string password;
    std::unique_ptr<SmtpSender> sender;
  };
  vel::os::Mutex mutex_;
  std::map<Key, Kept> kept_ VEL_GUARDED_BY(mutex_);
};

// One pass over the queue. With force, messages waiting for their retry
// time are taken too. Up to config.connections sessions deliver at once,
// each taking the next queued message (oldest first) when done with one,
// so that the server's waits (its reply to each command, its writing a
// message to disk) overlap instead of adding up. The connections come from sessions when given
// (the delivery thread's, kept between its passes), else they are the
// pass's own and end with it.
PassReport DeliverPass(const Config& config, const std::map<std::string, std::string>& credentials,
                       bool force, SmtpSessions* sessions = nullptr);

class Outbox {
 public:
  static Outbox& Instance();
  ~Outbox();

  // A session of user opened with this configuration: its credentials are
  // kept while it lasts, and the thread is started (or told of the newer
  // configuration).
  void Attach(const Config& config, const std::string& user, const std::string& password);
  // The session ended; the last one of a user takes the credentials away.
  void Detach(const std::string& user);
  // Deliver now (a session ends, or velnet-flush asks).
  void Wake();
  // Something was spooled: deliver once the spooling has paused.
  void Spooled();
  // Waits until no message of user is due for delivery (queued and not
  // deferred to a later attempt), up to seconds. True when none is due.
  bool Drain(const std::string& user, uint32_t seconds);

 private:
  Outbox() = default;
  void Run();
  size_t DueFor(const std::string& user) VEL_REQUIRES(mutex_);

  vel::os::Mutex mutex_;
  std::condition_variable_any wake_;     // the thread: work or stop
  std::condition_variable_any drained_;  // Drain: a pass ended
  Config config_ VEL_GUARDED_BY(mutex_);
  bool configured_ VEL_GUARDED_BY(mutex_) = false;
  // password, sessions
  std::map<std::string, std::pair<std::string, int>> users_ VEL_GUARDED_BY(mutex_);
  // counts Attach calls: kept connections follow the configuration
  uint64_t generation_ VEL_GUARDED_BY(mutex_) = 0;
  bool woken_ VEL_GUARDED_BY(mutex_) = false;
  bool urgent_ VEL_GUARDED_BY(mutex_) = false;  // woken by Wake or Attach, not by Spooled
  std::chrono::steady_clock::time_point last_spooled_ VEL_GUARDED_BY(mutex_);
  bool stop_ VEL_GUARDED_BY(mutex_) = false;
  bool started_ VEL_GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace velnet

#endif
