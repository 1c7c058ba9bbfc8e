// All-or-nothing delivery of one message into several mailboxes of a mail
// root. The message is written once, to its first mailbox's tmp, and
// flushed to disk (Stage); every other copy is a second name of that same
// file, made by a hard link into its mailbox's tmp, so nothing more is
// written or flushed for it (StageLink). Only when all are there are they
// moved into new (Commit). Copies not committed are removed when the
// delivery is destroyed, and a copy left in tmp by a crash is never seen
// by a reader. The copies share their content, which is never written
// again; each mailbox keeps its own name for its copy, flags and all, and
// removing one copy leaves the others.
//
// A crash between the first and the last move is mended by the journal:
// each delivery keeps one in ROOT/.deliveries, listing its copies as they
// are staged, and marked "commit" (and flushed to disk) before the first
// move. RecoverDeliveries, run at every logon, completes a marked delivery
// whose process is gone and removes the staged copies of an unmarked one.
// A delivery's process holds a lock on its journal while it runs, so a
// journal whose lock can be taken belongs to nobody any more. A delivery
// of one copy needs no mark: its one move is all or nothing by itself.
// A journal is made under a hidden name and locked before it is named and
// written; a crash between those steps leaves an empty hidden journal,
// which a logon removes once nobody holds it and it is a quarter of an
// hour old (a delivery passes those steps in microseconds).
//
// Each directory a commit changes is flushed once, whatever the number of
// copies in it, and the flushes of a commit are made at the same time
// (see SyncDirectories in delivery.cc).
//
// Every file call goes through vel::os::Files(), so that a test can end the
// process after any step of a delivery (a wrapper around the file system
// that kills the process after the N-th rename, say) and check the mending.
#ifndef VELCMC_DELIVERY_H
#define VELCMC_DELIVERY_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cmc.h"
#include "maildir/mailbox.h"

namespace velcmc {

// The journals of a mail root.
std::filesystem::path JournalDir(const std::filesystem::path& root);

// Completes or undoes the deliveries of the root that a crash left
// unfinished, and removes the hidden journals a crash left (see above);
// deliveries still running are left alone.
void RecoverDeliveries(const std::filesystem::path& root);

class Delivery {
 public:
  // A delivery into mailboxes that are directories of root.
  explicit Delivery(std::filesystem::path root) : root_(std::move(root)) {}
  ~Delivery();
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;

  // Writes the body into a descriptor at its position; returns 0 or a CMC
  // code.
  using BodyWriter = std::function<CMC_return_code(int fd)>;

  // Writes one copy, head followed by what body writes, into the
  // mailbox's tmp and flushes it. Returns 0, CMC_E_DISK_FULL when the
  // disk or quota is full, body's own code, or CMC_E_FAILURE.
  CMC_return_code Stage(const Mailbox& mailbox, const std::string& head, const BodyWriter& body);
  // The same with the body given whole.
  CMC_return_code Stage(const Mailbox& mailbox, const std::string& head, const std::string& body);
  // Another copy: head followed by the body of the first copy staged,
  // copied a piece at a time.
  CMC_return_code StageCopy(const Mailbox& mailbox, const std::string& head);
  // Another copy that is the first copy's file itself, its head included:
  // a hard link in the mailbox's tmp. Where the file system cannot link
  // (another file system, too many links, no links at all), the copy is
  // written out as StageCopy writes it. Returns as Stage does.
  CMC_return_code StageLink(const Mailbox& mailbox);

  // Moves every staged copy into new. Returns 0, or CMC_E_FAILURE after
  // taking back whatever copies it had already moved.
  CMC_return_code Commit();

 private:
  struct Copy {
    std::filesystem::path tmp;
    std::filesystem::path target;
    std::filesystem::path tmp_dir;
    std::filesystem::path new_dir;
    uint64_t head_size = 0;
  };
  // Creates and locks the journal on the first copy; appends a line.
  bool Journal(const std::string& line);
  // Creates the journal under a hidden name, locks it and renames it to
  // its own. False (errno set) when that fails.
  bool OpenJournal();
  // Checks that mailbox is a mailbox of the root; its name, or empty.
  std::string MailboxName(const Mailbox& mailbox) const;
  CMC_return_code StageWith(const Mailbox& mailbox, const std::string& head,
                            const BodyWriter& body);
  // Removes the journal; durably when it was marked.
  void DropJournal();

  std::filesystem::path root_;
  std::vector<Copy> staged_;
  std::string first_head_;  // the head of the first copy staged
  bool committed_ = false;
  bool marked_ = false;  // the journal says "commit"
  int journal_fd_ = -1;
  std::filesystem::path journal_;
};

}  // namespace velcmc

#endif
