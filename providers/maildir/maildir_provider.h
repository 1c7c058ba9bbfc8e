// The provider behind the exported CMC entry points: sessions, and what
// each call does in the mail store. Each method returns a CMC return code.
// Thread-safe; no lock of the provider's is held while files are read or
// written (a session's index holds its own while it reads the session's
// directories, see mailbox_index.h).
#ifndef VELCMC_PROVIDER_H
#define VELCMC_PROVIDER_H

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cmc.h"
#include "common/session_table.h"
#include "maildir/mailbox.h"
#include "maildir/mailbox_index.h"
#include "maildir/summary_cache.h"
#include "mime/cmc_blocks.h"
#include "mime/compose.h"

namespace velcmc {

// The logon extension the library passes; accepted and otherwise unused.
inline constexpr CMC_uint32 kLogonExtensionItem = 528;

// The largest message sent or read, in bytes as stored, unless
// VELCMC_MAX_MESSAGE_BYTES says otherwise; never more than a listing can
// count (2^32 - 1).
inline constexpr uint64_t kDefaultMaxMessageBytes = uint64_t{256} << 20;
uint64_t MaxMessageBytes();

// Where the sessions of a root keep the attachments of what they read.
std::filesystem::path AttachmentRoot(const std::filesystem::path& root);

struct Session {
  CMC_session_id id = 0;
  std::filesystem::path root;
  std::string account;
  std::string domain;
  Mailbox mailbox{{}};
  std::shared_ptr<MailboxIndex> index;   // what the session knows of its mailbox
  std::filesystem::path attachment_dir;  // where read attachments go
};

// A recipient name resolved to the mailbox that gets its copy.
struct ResolvedRecipient {
  std::string mailbox;
  MailAddress header;  // as it appears in To or Cc
};

class Provider {
 public:
  static Provider& Instance();

  CMC_return_code Logon(const char* user, const char* password, uint16_t version,
                        const CMC_extension* extensions, CMC_session_id* session);
  CMC_return_code Logoff(CMC_session_id session);
  CMC_return_code Free(void* memory);
  CMC_return_code Send(CMC_session_id session, const CMC_message* message);
  CMC_return_code LookUp(CMC_session_id session, const CMC_recipient* recipient, CMC_uint32* count,
                         CMC_recipient** out);
  CMC_return_code List(CMC_session_id session, const char* message_type, CMC_flags flags,
                       const CMC_message_reference* seed, CMC_uint32* count,
                       CMC_message_summary** result);
  CMC_return_code Read(CMC_session_id session, const CMC_message_reference* reference,
                       CMC_flags flags, CMC_message** message);
  CMC_return_code ActOn(CMC_session_id session, const CMC_message_reference* reference,
                        CMC_enum operation);

 private:
  std::shared_ptr<const Session> Find(CMC_session_id id) { return sessions_.Find(id); }
  // Resolves a recipient name (a mailbox name, or name@anything); nothing
  // when no such mailbox exists.
  std::optional<ResolvedRecipient> Resolve(const Session& session, const char* name,
                                           const std::map<std::string, std::string>& accounts);

  velproviders::SessionTable<const Session> sessions_;
  BlockRegistry blocks_;
  SummaryCaches caches_;
};

}  // namespace velcmc

#endif
