// All-or-nothing delivery of one message into several mailboxes. Every
// copy is first written to its mailbox's tmp and flushed to disk (Stage);
// only when all are there are they moved into new (Commit). Copies not
// committed are removed when the delivery is destroyed, and a copy left in
// tmp by a crash is never seen by a reader.
#ifndef VELCMC_DELIVERY_H
#define VELCMC_DELIVERY_H

#include <filesystem>
#include <string>
#include <vector>

#include "cmc.h"
#include "mailbox.h"

namespace velcmc {

class Delivery {
 public:
  Delivery() = default;
  ~Delivery();
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;

  // Writes one copy, head followed by body, into the mailbox's tmp and
  // flushes it. Returns 0, CMC_E_DISK_FULL when the disk or quota is full,
  // or CMC_E_FAILURE.
  CMC_return_code Stage(const Mailbox& mailbox, const std::string& head, const std::string& body);

  // Moves every staged copy into new. Returns 0, or CMC_E_FAILURE after
  // taking back whatever copies it had already moved.
  CMC_return_code Commit();

 private:
  struct Copy {
    std::filesystem::path tmp;
    std::filesystem::path target;
    std::filesystem::path new_dir;
  };
  std::vector<Copy> staged_;
  bool committed_ = false;
};

}  // namespace velcmc

#endif
