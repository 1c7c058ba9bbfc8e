// The outbox on disk. A sent message is one file in queue/, written to
// tmp/ first, flushed to disk and then renamed, so that a crash leaves it
// either whole in queue/ or not there at all. The file's first line holds
// the length and SHA-256 of everything after it; then come the envelope
// (user, sender, time queued, recipients), a blank line and the message.
// A file whose length or checksum does not match is damaged: it goes to
// quarantine/ with the reason beside it and is never sent.
// Its delivery state -- attempts, the recipients done with, the last
// server reply -- lives next to it in <id>.state, replaced the same way;
// when that write fails (a full disk) the state is kept in this process's
// memory instead, so that the process never repeats what a server took.
// A message nobody can take any more goes to failed/ with its state.
// A delivered one leaves the queue for tmp/ (that move flushed: it is
// then done with, whatever happens), is emptied there, on disk, and comes
// back as a spare, <id>.fresh, then <id>.free once that name is on disk
// (up to 256 a process). A later message is written into a spare
// instead of a new file in tmp/: locked, written, flushed, then renamed
// to its own <id>.msg. Its name and content being on disk already, the
// rename need not be: a spare found whole after a crash is queued (by
// Prepare). This spares the directory flush, and a new file, which a file
// system finds a place for slowly while files come and go fast (ext4
// steps over every one removed in the last minutes).
// Each acceptance by a server is recorded in sent.log. Moving a message
// out of queue/ never needs disk space, so a full disk cannot keep
// delivered mail queued. Every file is created owner-only and opened
// without following symbolic links. Passwords are never part of the spool.
#ifndef VELNET_SPOOL_H
#define VELNET_SPOOL_H

#include <cstdint>
#include <functional>
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
  int64_t queued_at = 0;                // seconds since the epoch
};

struct DeliveryState {
  uint32_t attempts = 0;
  int64_t next_attempt = 0;  // seconds since the epoch
  // Recipients a server took, each with the reply that took them.
  std::vector<std::pair<std::string, std::string>> accepted;
  // Recipients refused for good, each with the server's reply.
  std::vector<std::pair<std::string, std::string>> refused;
  std::string last_reply;  // the last server reply or failure

  // The recipients still to deliver to.
  std::vector<std::string> Pending(const Envelope& envelope) const;
  bool Accepted(const std::string& recipient) const;
};

// A spooled message's place in a listing of the spool.
struct SpoolEntry {
  std::string id;
  Envelope envelope;
  DeliveryState state;
  bool verified = true;         // false: spooled without a checksum (an older file)
  uint64_t body_offset = 0;     // where the envelope starts (after the check line)
  uint64_t message_offset = 0;  // where the message starts
};

// A message put aside because its file is damaged.
struct Quarantined {
  std::string id;
  std::string reason;
};

class Spool {
 public:
  explicit Spool(std::string root) : root_(std::move(root)) {}
  const std::string& Root() const { return root_; }

  // Creates the spool's directories (owner-only) where missing, and makes
  // existing ones owner-only. Refuses (false, *error set) a directory that
  // is a link, not a directory, or belongs to another user. Removes what a
  // crash while spooling left in tmp/, and recovers spares (RecoverSpares).
  bool Prepare(std::string* error) const;

  // Writes a message's bytes into a descriptor at its position: 0, or a
  // CMC code that ends the spooling.
  using MessageWriter = std::function<CMC_return_code(int fd)>;

  // Spools a message durably, written by write straight into its spool
  // file (the message is never held in memory whole), refused with
  // CMC_E_TEXT_TOO_LARGE when it comes to more than limit bytes. Returns 0
  // and sets *id; or CMC_E_DISK_FULL (a full disk or quota), the writer's
  // own code, CMC_E_TEXT_TOO_LARGE or CMC_E_FAILURE, with *error saying
  // why, and nothing left of the message in the spool.
  CMC_return_code Add(const Envelope& envelope, const MessageWriter& write, uint64_t limit,
                      std::string* id, std::string* error) const;
  // The same with the message given whole.
  CMC_return_code Add(const Envelope& envelope, const std::string& message, std::string* id,
                      std::string* error) const;

  // The ids in queue/ (oldest first), failed/ or quarantine/.
  std::vector<std::string> Queued() const;
  std::vector<std::string> Failed() const;
  std::vector<Quarantined> Quarantine() const;

  // Reads a queued (or failed) message's envelope and state. Nothing when
  // it is gone, or when its file is damaged (*damage then says how: a cut
  // or garbled envelope, or a length that does not match). The checksum
  // is not read here (see Verify).
  std::optional<SpoolEntry> Load(const std::string& id, bool failed = false,
                                 std::string* damage = nullptr) const;

  // Reads the whole file behind fd and checks its length and checksum.
  // Empty when it matches (or the file has none), else why not.
  std::string Verify(int fd, const SpoolEntry& entry) const;

  // Opens a queued message for delivery with an exclusive lock, so that
  // two deliverers never send it twice. -1 when it is gone or locked.
  int OpenLocked(const std::string& id) const;

  // Replaces a queued message's state. False when the file could not be
  // written; the state then stands in this process's memory.
  bool SaveState(const std::string& id, const DeliveryState& state) const;

  // Records in sent.log that a server took the message for recipients,
  // at its attempts-th attempt, with its subject (outbox_list.h reads the
  // line). False when the line could not be written.
  bool LogSent(const std::string& id, const Envelope& envelope,
               const std::vector<std::string>& recipients, const std::string& reply,
               uint32_t attempts = 0, const std::optional<std::string>& subject = {}) const;

  // Done with a queued message (no recipient pending): when any were
  // refused, the message and its state go to failed/, else it is retired
  // and its file becomes a spare (Retire, then Reuse).
  // Either way it leaves queue/, even when the failed state cannot be
  // written (the old state then goes with it). False when something of
  // that could not be written (the message has left the queue all the
  // same, unless its file could not be moved at all).
  bool Finish(const std::string& id, const DeliveryState& state) const;

  // A delivered message (no recipient refused) out of the queue for good:
  // once this returns true its name is gone from queue/ on disk, so no
  // crash from then on can have it sent again. Its file waits in tmp/ for
  // Reuse (*spare), or was removed (a file with other names, or more
  // spares than are kept). False when that could not be made durable.
  bool Retire(const std::string& id, bool* spare) const;
  // The file of a retired message, emptied on disk, comes back to queue/
  // as a spare for a later message. A crash before that leaves it in tmp/,
  // which Prepare empties at once.
  bool Reuse(const std::string& id) const;

  // Moves a damaged queued message to quarantine/ with its reason.
  bool Quarantine(const std::string& id, const std::string& reason) const;

  // The lines of sent.log.
  std::vector<std::string> SentLog() const;

  // A user's queue is held up because the servers refused the login: the
  // reason is recorded (and shown by velnet-status) until it is cleared.
  void Hold(const std::string& user, const std::string& reason) const;
  void Release(const std::string& user) const;
  // Every hold: user, time and reason.
  std::vector<std::pair<std::string, std::string>> Holds() const;

 private:
  std::string Path(const char* dir, const std::string& name) const;
  // A spare in queue/, locked and emptied, open for writing, its path in
  // *claimed; -1 when none.
  int ClaimSpare(std::string* claimed) const;
  // Spares a crash left with a whole message in them (spooled, its new
  // name lost) are queued; ones left with part of one are emptied.
  void RecoverSpares() const;
  // The envelope of the spooled message behind fd (size bytes).
  std::optional<SpoolEntry> LoadFile(int fd, uint64_t size, const std::string& id,
                                     std::string* damage) const;
  std::string root_;
};

// The message file's check line and envelope block, and their parse.
std::string FormatEnvelope(const Envelope& envelope);
std::string FormatState(const DeliveryState& state);
DeliveryState ParseState(const std::string& text);

}  // namespace velnet

#endif
