// Delivery of the spool. One outbox per process delivers every spooled
// message over SMTP on its own thread, with the credentials of a logged-on
// user (kept in memory only while that user has a session); velnet-flush
// runs the same passes in the foreground.
//
// A pass takes the queued messages whose time has come, oldest first, and
// for each user whose credentials are known sends them over one
// connection to the first server that answers, going on to the next
// server when one cannot be reached. Per message:
//   - every recipient a server accepts is done with;
//   - a recipient refused for good (5xx) is done with, its reply kept;
//   - a temporary refusal (4xx), a lost connection, or no server at all
//     leaves the recipients pending: the attempt is counted and the next
//     one waits retry_delay; once retry_attempts are used up the pending
//     recipients are refused with the last reply.
// When no recipient is pending the message leaves the queue: accepted
// recipients go to sent.log, refused ones with the message to failed/.
// A message is delivered by at most one process at a time (its file is
// locked), and its state is written before the next message is taken, so
// a crash at any point loses nothing (at worst a message is sent twice).
#ifndef VELNET_OUTBOX_H
#define VELNET_OUTBOX_H

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "config.h"
#include "spool.h"

namespace velnet {

// One pass over the queue. With force, messages waiting for their retry
// time are taken too. Returns how many messages are still queued.
size_t DeliverPass(const Config& config, const std::map<std::string, std::string>& credentials,
                   bool force);

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
  // Something was spooled: deliver now.
  void Wake();
  // Waits until no message of user is queued, up to seconds. True when
  // none is left.
  bool Drain(const std::string& user, uint32_t seconds);

 private:
  Outbox() = default;
  void Run();
  size_t QueuedFor(const std::string& user);

  std::mutex mutex_;
  std::condition_variable wake_;     // the thread: work or stop
  std::condition_variable drained_;  // Drain: a pass ended
  Config config_;
  bool configured_ = false;
  std::map<std::string, std::pair<std::string, int>> users_;  // password, sessions
  bool woken_ = false;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace velnet

#endif
