// The network provider behind the exported CMC entry points: sessions,
// each with its own IMAP connection and listing cache; sending through
// the spool and the outbox. Each method returns a CMC return code.
// Thread-safe: sessions are found under the provider's lock; a session's
// connection is used under the session's own lock. A call that finds that
// lock held asks the holder to stop at its next wait on the server: the
// library gives up on a slow call and calls again, and the call it gave
// up on must not go on working for nobody.
#ifndef VELNET_PROVIDER_H
#define VELNET_PROVIDER_H

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "cmc.h"
#include "common/session_table.h"
#include "mime/cmc_blocks.h"
#include "mime/parse.h"
#include "mutex.h"
#include "net/config.h"
#include "net/imap.h"

namespace velnet {

// The logon extension the library passes; accepted and otherwise unused.
inline constexpr CMC_uint32 kLogonExtensionItem = 528;

// What a session knows of one message of the mailbox.
struct CachedMessage {
  bool seen = false;
  std::shared_ptr<const velcmc::MessageSummary> summary;
};

struct Session {
  CMC_session_id id = 0;
  Config config;
  std::string user;
  vel::os::Mutex mutex;          // the connection and the listing below
  std::atomic<int> waiting = 0;  // calls waiting for the mutex: its holder stops
  std::unique_ptr<ImapConnection> imap VEL_GUARDED_BY(mutex);
  std::string attachment_dir;  // where read attachments go

  bool listed VEL_GUARDED_BY(mutex) = false;   // messages is the mailbox as of status
  MailboxStatus status VEL_GUARDED_BY(mutex);  // as of the listing
  // By UID. While listed is false, a cache of summaries made for the
  // mailbox of UIDVALIDITY cached_validity, kept across a listing that
  // failed part way so that the next one goes on from there.
  std::map<uint32_t, CachedMessage> messages VEL_GUARDED_BY(mutex);
  uint32_t cached_validity VEL_GUARDED_BY(mutex) = 0;
  // The listing's summaries laid out once (in the order of messages),
  // made again after messages changes; a listing hands out copies.
  std::shared_ptr<const velcmc::SummaryTemplate> laid_out VEL_GUARDED_BY(mutex);
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
  std::shared_ptr<Session> Find(CMC_session_id id) { return sessions_.Find(id); }
  // Brings the session's listing up to date (under its lock): nothing is
  // fetched when the mailbox's status is unchanged.
  CMC_return_code Refresh(Session& session) VEL_REQUIRES(session.mutex);

  velproviders::SessionTable<Session> sessions_;
  velcmc::BlockRegistry blocks_;
};

// A recipient as given (a name, an address, "Name <address>") completed
// with the configured domain; nothing when it is not one mailbox.
std::optional<velcmc::MailAddress> CompleteAddress(const std::string& given,
                                                   const std::string& domain);

// A message reference: "<uidvalidity>.<uid>", and its parse.
std::string MakeReference(uint32_t uidvalidity, uint32_t uid);
bool ParseReference(const std::string& reference, uint32_t* uidvalidity, uint32_t* uid);

// The CMC code for an IMAP failure.
CMC_return_code CodeFor(const ImapResult& result);

}  // namespace velnet

#endif
