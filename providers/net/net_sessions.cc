// Logon, logoff, look-up and freeing.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "file_system.h"
#include "mime/gmime_support.h"
#include "net/net_provider.h"
#include "net/netlog.h"
#include "net/outbox.h"
#include "net/spool.h"
#include "platform.h"

namespace velnet {
namespace fs = std::filesystem;
namespace {

// Any extension the provider does not know may be ignored, unless the
// caller marked it as required.
bool ExtensionsAcceptable(const CMC_extension* extension) {
  for (; extension != nullptr; ++extension) {
    if (extension->item_code != kLogonExtensionItem &&
        (extension->extension_flags & CMC_EXT_REQUIRED))
      return false;
    if (extension->extension_flags & CMC_EXT_LAST_ELEMENT) break;
  }
  return true;
}

// A user name goes into URLs' credentials (libcurl escapes nothing there
// itself), envelope files and the log: printable, no separators.
bool ValidUser(const char* user) {
  if (user == nullptr || *user == '\0') return false;
  size_t n = 0;
  for (const char* p = user; *p; ++p, ++n) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c <= 0x20 || c == 0x7f || c == '/' || c == ':' || c == '%') return false;
  }
  return n <= 256;
}

// How long a logoff may wait for the user's mail: drain_seconds, but
// never so long that the library gives up on the logoff (its time-out,
// VELMAIL_TIMEOUT milliseconds, default 60000): three quarters of that at
// most, so that the rest of the logoff fits too.
uint32_t DrainSeconds(const Config& config) {
  char value[32];
  uint64_t timeout_ms = 60000;
  uint32_t length = vel::os::GetEnvironmentVariable("VELMAIL_TIMEOUT", value, sizeof value);
  if (length > 0 && length < sizeof value) {
    char* end = nullptr;
    unsigned long long v = std::strtoull(value, &end, 10);
    if (end != value && *end == '\0' && v > 0) timeout_ms = v;
  }
  const uint64_t allowed = timeout_ms * 3 / 4 / 1000;
  return static_cast<uint32_t>(std::min<uint64_t>(config.drain_seconds, allowed));
}

}  // namespace

Provider& Provider::Instance() {
  // Never destroyed, and its module kept loaded: a worker its host gave up
  // on may still be inside a call when the process exits (and runs the
  // destructors of statics) or when the host lets the module go.
  static Provider* provider = [] {
    vel::os::PinModuleOf(reinterpret_cast<const void*>(&Provider::Instance));
    return new Provider();
  }();
  return *provider;
}

CMC_return_code CodeFor(const ImapResult& result) {
  switch (Classify(result.code)) {
    case FailureKind::kCredentials:
      return CMC_E_LOGON_FAILURE;
    case FailureKind::kUnreachable:
    case FailureKind::kLost:
      return CMC_E_SERVICE_UNAVAILABLE;
    default:
      if (result.code == CURLE_OUT_OF_MEMORY) return CMC_E_INSUFFICIENT_MEMORY;
      return CMC_E_FAILURE;
  }
}

CMC_return_code Provider::Logon(const char* user, const char* password, uint16_t version,
                                const CMC_extension* extensions, CMC_session_id* session) {
  if (session == nullptr) return CMC_E_INVALID_PARAMETER;
  if (version != CMC_VERSION) return CMC_E_UNSUPPORTED_VERSION;
  if (!ExtensionsAcceptable(extensions)) return CMC_E_UNSUPPORTED_DATA_EXT;

  std::string error, log_path;
  std::optional<Config> config = LoadConfigFromEnvironment(&error, &log_path);
  if (!config) {
    // The CMC code carries no text: the reason goes to the log the file
    // names, or to standard error when there is none.
    if (!log_path.empty()) Log(log_path, "logon refused: " + error);
    std::fprintf(stderr, "velnet: logon refused: %s\n", error.c_str());
    return CMC_E_INVALID_CONFIGURATION;
  }
  if (!ValidUser(user)) {
    Log(config->log,
        "logon refused: the user name is empty or holds characters a mail user name cannot");
    return CMC_E_LOGON_FAILURE;
  }
  // The password travels in protocol lines (IMAP's LOGIN, for one): a
  // line break in it would end the line and start a command of the
  // caller's choosing. (The user name's are refused above.)
  const std::string secret = password ? password : "";
  if (secret.find_first_of("\r\n") != std::string::npos) {
    Log(config->log, "logon of " + std::string(user) + " refused: the password holds a line break");
    return CMC_E_LOGON_FAILURE;
  }
  Spool spool(config->spool);
  if (!spool.Prepare(&error)) {
    Log(config->log, "logon refused: " + error);
    return CMC_E_INVALID_CONFIGURATION;
  }

  auto opened = std::make_shared<Session>();
  opened->config = *config;
  opened->user = user;
  ImapResult r;
  {
    // Nobody else knows the session yet; its lock is uncontended.
    vel::os::MutexLock lock(opened->mutex);
    opened->imap = std::make_unique<ImapConnection>(opened->config, opened->user, secret);
    opened->imap->Begin(nullptr);
    MailboxStatus status;
    r = opened->imap->Status(&status);
  }
  if (!r.ok()) {
    Log(config->log,
        "logon of " + opened->user + " at " + config->imap_url + " refused: " + r.error);
    return CodeFor(r);
  }
  Log(config->log, "logon of " + opened->user + " at " + config->imap_url);

  *session = sessions_.Add(opened, [&](Session& s, CMC_session_id id) {
    s.id = id;
    s.attachment_dir = config->spool + "/attachments/" + velcmc::SessionFolderName(id);
  });
  // Whatever this user left spooled, by this process or one that ended,
  // can be delivered now.
  Outbox::Instance().Attach(*config, opened->user, secret);
  return CMC_SUCCESS;
}

CMC_return_code Provider::Logoff(CMC_session_id id) {
  std::shared_ptr<Session> closed = sessions_.Remove(id);
  if (!closed) return CMC_E_INVALID_SESSION_ID;
  Outbox& outbox = Outbox::Instance();
  outbox.Wake();
  const uint32_t drain = DrainSeconds(closed->config);
  if (!outbox.Drain(closed->user, drain))
    Log(closed->config.log, "logoff of " + closed->user + ": mail still due after " +
                                std::to_string(drain) +
                                " seconds; it is delivered at the next logon or by velnet-flush");
  outbox.Detach(closed->user);
  vel::os::Files().RemoveTree(closed->attachment_dir.c_str());
  velcmc::ForgetMessageFolders(closed->attachment_dir);
  return CMC_SUCCESS;
}

CMC_return_code Provider::Free(void* memory) {
  if (memory == nullptr) return CMC_SUCCESS;
  return blocks_.Free(memory) ? CMC_SUCCESS : CMC_E_INVALID_MEMORY;
}

std::optional<velcmc::MailAddress> CompleteAddress(const std::string& given,
                                                   const std::string& domain) {
  // A control character is never part of an address, and the parser would
  // drop it and what follows it: the mail would go to another address.
  for (unsigned char c : given)
    if (c < 0x20 || c == 0x7f) return std::nullopt;
  velcmc::EnsureGMime();
  velcmc::GObjectPtr<InternetAddressList> list(internet_address_list_parse(nullptr, given.c_str()));
  if (!list || internet_address_list_length(list.get()) != 1) return std::nullopt;
  InternetAddress* parsed = internet_address_list_get_address(list.get(), 0);
  if (!INTERNET_ADDRESS_IS_MAILBOX(parsed)) return std::nullopt;
  const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(parsed));
  const char* display = internet_address_get_name(parsed);
  if (addr == nullptr || *addr == '\0') return std::nullopt;
  std::string address = addr;
  // An address goes into the SMTP envelope as it is.
  for (unsigned char c : address)
    if (c <= 0x20 || c == '<' || c == '>' || c == 0x7f) return std::nullopt;
  velcmc::MailAddress out;
  out.address = address.find('@') == std::string::npos ? address + "@" + domain : address;
  if (out.address.front() == '@' || out.address.back() == '@') return std::nullopt;
  out.name = display && *display ? display : "";
  return out;
}

CMC_return_code Provider::LookUp(CMC_session_id id, const CMC_recipient* recipient,
                                 CMC_uint32* count, CMC_recipient** out) {
  std::shared_ptr<Session> session = Find(id);
  if (!session) return CMC_E_INVALID_SESSION_ID;
  if (recipient == nullptr || count == nullptr || out == nullptr) return CMC_E_INVALID_PARAMETER;
  const char* given = recipient->name ? recipient->name : recipient->address;
  auto found = CompleteAddress(given ? given : "", session->config.domain);
  if (!found) return CMC_E_RECIPIENT_NOT_FOUND;
  *out = blocks_.Adopt(velcmc::BuildRecipientBlock(*found, recipient->role));
  *count = 1;
  return CMC_SUCCESS;
}

std::string MakeReference(uint32_t uidvalidity, uint32_t uid) {
  return std::to_string(uidvalidity) + "." + std::to_string(uid);
}

bool ParseReference(const std::string& reference, uint32_t* uidvalidity, uint32_t* uid) {
  unsigned long long v = 0, u = 0;
  char tail = 0;
  if (reference.size() > 21 || reference.find_first_not_of("0123456789.") != std::string::npos ||
      std::sscanf(reference.c_str(), "%llu.%llu%c", &v, &u, &tail) != 2 || v > 0xffffffffull ||
      u == 0 || u > 0xffffffffull)
    return false;
  *uidvalidity = static_cast<uint32_t>(v);
  *uid = static_cast<uint32_t>(u);
  return true;
}

}  // namespace velnet
