// The outbox on disk. A sent message is one file in queue/, written to
// tmp/ first, flushed to disk and then renamed, so that a crash leaves it
// either whole in queue/ or not there at all. The file starts with the
// envelope (sender, user, recipients) and a blank line, then the message.
// Its delivery state -- attempts, the recipients done with, the last
// server reply -- lives next to it in <id>.state, replaced the same way.
// A message nobody can take any more goes to failed/ with its state; a
// delivered one is removed and recorded in sent.log. Every file is
// created owner-only and opened without following symbolic links.
// Passwords are never part of the spool.
#ifndef VELNET_SPOOL_H
#define VELNET_SPOOL_H

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cmc.h"

namespace velnet {

struct Envelope {
  std::string user;                     // whose credentials deliver it
  std::string from;                     // the envelope sender
  std::vector<std::string> recipients;  // every to, cc and bcc address, once each
};

struct DeliveryState {
  uint32_t attempts = 0;
  int64_t next_attempt = 0;           // seconds since the epoch
  std::vector<std::string> accepted;  // recipients a server took
  // Recipients refused for good, each with the server's reply.
  std::vector<std::pair<std::string, std::string>> refused;
  std::string last_reply;  // the last server reply or failure

  // The recipients still to deliver to.
  std::vector<std::string> Pending(const Envelope& envelope) const;
};

// A spooled message's place in a listing of the spool.
struct SpoolEntry {
  std::string id;
  Envelope envelope;
  DeliveryState state;
};

class Spool {
 public:
  explicit Spool(std::string root) : root_(std::move(root)) {}
  const std::string& Root() const { return root_; }

  // Creates the spool's directories (owner-only) where missing. False with
  // *error set when that fails.
  bool Prepare(std::string* error) const;

  // Spools a message durably. Returns 0 and sets *id, CMC_E_DISK_FULL, or
  // CMC_E_FAILURE with *error saying why.
  CMC_return_code Add(const Envelope& envelope, const std::string& message, std::string* id,
                      std::string* error) const;

  // The ids in queue/ (oldest first) or failed/.
  std::vector<std::string> Queued() const;
  std::vector<std::string> Failed() const;

  // Reads a queued (or failed) message's envelope and state; nothing when
  // it is gone. *body_offset is where the message starts in the file.
  std::optional<SpoolEntry> Load(const std::string& id, bool failed = false,
                                 uint64_t* body_offset = nullptr) const;

  // Opens a queued message for delivery with an exclusive lock, so that
  // two deliverers never send it twice. -1 when it is gone or locked.
  int OpenLocked(const std::string& id) const;

  // Replaces a queued message's state. False on failure.
  bool SaveState(const std::string& id, const DeliveryState& state) const;

  // Done with a queued message: the accepted recipients are written to
  // sent.log, and when any were refused the message and its state go to
  // failed/; it then leaves the queue.
  bool Finish(const std::string& id, const Envelope& envelope, const DeliveryState& state) const;

  // The lines of sent.log.
  std::vector<std::string> SentLog() const;

 private:
  std::string Path(const char* dir, const std::string& name) const;
  std::string root_;
};

// The message file's envelope block, and its parse.
std::string FormatEnvelope(const Envelope& envelope);
std::string FormatState(const DeliveryState& state);
DeliveryState ParseState(const std::string& text);

}  // namespace velnet

#endif
