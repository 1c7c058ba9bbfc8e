// Logon, logoff, look-up and freeing.
#include <algorithm>
#include <system_error>
#include <vector>

#include "file_system.h"
#include "maildir/accounts.h"
#include "maildir/delivery.h"
#include "maildir/maildir_provider.h"
#include "mime/gmime_support.h"
#include "mime/names.h"
#include "platform.h"

namespace velcmc {
namespace fs = std::filesystem;
namespace {

fs::path MailRoot() {
  char value[4096];
  uint32_t length = vel::os::GetEnvironmentVariable("VELCMC_ROOT", value, sizeof value);
  fs::path root = (length > 0 && length < sizeof value) ? fs::path(value) : fs::path("mail");
  std::error_code ec;
  fs::path absolute = fs::absolute(root, ec);
  return ec ? root : absolute;
}

// Removes the attachment folders of sessions whose process is gone (see
// SessionFolderName), and keeps the directory owner-only.
void RemoveAbandonedAttachments(const fs::path& root) {
  const fs::path dir = AttachmentRoot(root);
  vel::os::FileSystem& files = vel::os::Files();
  vel::os::FileInfo info;
  if (!files.Stat(dir.c_str(), &info, false) || info.type != vel::os::FileType::kDirectory) return;
  files.MakePrivate(dir.c_str());
  std::vector<vel::os::DirectoryEntry> entries;
  files.ListDirectory(dir.c_str(), &entries);
  for (const vel::os::DirectoryEntry& entry : entries) {
    const std::optional<uint32_t> pid = SessionFolderProcess(entry.name);
    if (pid && *pid != vel::os::ProcessId() && !vel::os::ProcessExists(*pid))
      files.RemoveTree((dir / entry.name).c_str());
  }
}

std::string MailDomain() {
  std::string host = vel::os::HostName();
  return host.empty() ? "localhost" : host;
}

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

}  // namespace

uint64_t MaxMessageBytes() {
  char value[32];
  uint32_t length =
      vel::os::GetEnvironmentVariable("VELCMC_MAX_MESSAGE_BYTES", value, sizeof value);
  if (length == 0 || length >= sizeof value) return kDefaultMaxMessageBytes;
  const std::string text(value, length);
  if (text.find_first_not_of("0123456789") != std::string::npos || text.size() > 10)
    return kDefaultMaxMessageBytes;
  const uint64_t limit = std::stoull(text);
  return limit == 0 ? kDefaultMaxMessageBytes : std::min<uint64_t>(limit, UINT32_MAX);
}

fs::path AttachmentRoot(const fs::path& root) { return root / ".attachments"; }

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

CMC_return_code Provider::Logon(const char* user, const char* password, uint16_t version,
                                const CMC_extension* extensions, CMC_session_id* session) {
  if (session == nullptr) return CMC_E_INVALID_PARAMETER;
  if (version != CMC_VERSION) return CMC_E_UNSUPPORTED_VERSION;
  if (!ExtensionsAcceptable(extensions)) return CMC_E_UNSUPPORTED_DATA_EXT;

  auto opened = std::make_shared<Session>();
  opened->root = MailRoot();
  // Whatever is wrong -- no such account, a bad name, a wrong password --
  // the answer is the same.
  if (user == nullptr || !IsValidMailboxName(user)) return CMC_E_LOGON_FAILURE;
  if (!VerifyPassword(opened->root, user, password ? password : "")) return CMC_E_LOGON_FAILURE;
  opened->account = user;
  opened->domain = MailDomain();
  opened->mailbox = Mailbox(opened->root / user);
  if (!opened->mailbox.Create()) return CMC_E_FAILURE;
  opened->index =
      std::make_shared<MailboxIndex>(opened->mailbox, caches_.For(opened->mailbox.Dir()));
  // What a crashed process left: deliveries to finish, copies to clear
  // away, attachments nobody will look at again.
  RecoverDeliveries(opened->root);
  opened->mailbox.CleanTmp();
  RemoveAbandonedAttachments(opened->root);

  *session = sessions_.Add(opened, [](Session& s, CMC_session_id id) {
    s.id = id;
    s.attachment_dir = AttachmentRoot(s.root) / SessionFolderName(id);
  });
  return CMC_SUCCESS;
}

CMC_return_code Provider::Logoff(CMC_session_id id) {
  std::shared_ptr<const Session> closed = sessions_.Remove(id);
  if (!closed) return CMC_E_INVALID_SESSION_ID;
  vel::os::Files().RemoveTree(closed->attachment_dir.c_str());
  ForgetMessageFolders(closed->attachment_dir.string());
  return CMC_SUCCESS;
}

CMC_return_code Provider::Free(void* memory) {
  if (memory == nullptr) return CMC_SUCCESS;
  return blocks_.Free(memory) ? CMC_SUCCESS : CMC_E_INVALID_MEMORY;
}

std::optional<ResolvedRecipient> Provider::Resolve(
    const Session& session, const char* name, const std::map<std::string, std::string>& accounts) {
  if (name == nullptr) return std::nullopt;
  EnsureGMime();
  GObjectPtr<InternetAddressList> list(internet_address_list_parse(nullptr, name));
  if (!list || internet_address_list_length(list.get()) != 1) return std::nullopt;
  InternetAddress* parsed = internet_address_list_get_address(list.get(), 0);
  if (!INTERNET_ADDRESS_IS_MAILBOX(parsed)) return std::nullopt;
  const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(parsed));
  const char* display = internet_address_get_name(parsed);
  if (addr == nullptr) return std::nullopt;

  std::string address = addr;
  size_t at = address.rfind('@');
  ResolvedRecipient out;
  out.mailbox = address.substr(0, at);
  if (!IsValidMailboxName(out.mailbox)) return std::nullopt;
  if (!accounts.count(out.mailbox) && !Mailbox(session.root / out.mailbox).Exists())
    return std::nullopt;
  out.header.address = at == std::string::npos ? address + "@" + session.domain : address;
  out.header.name = display && *display ? display : (at == std::string::npos ? address : "");
  return out;
}

CMC_return_code Provider::LookUp(CMC_session_id id, const CMC_recipient* recipient,
                                 CMC_uint32* count, CMC_recipient** out) {
  std::shared_ptr<const Session> session = Find(id);
  if (!session) return CMC_E_INVALID_SESSION_ID;
  if (recipient == nullptr || count == nullptr || out == nullptr) return CMC_E_INVALID_PARAMETER;
  auto accounts = LoadAccounts(session->root);
  auto resolved =
      Resolve(*session, recipient->name ? recipient->name : recipient->address, accounts);
  if (!resolved) return CMC_E_RECIPIENT_NOT_FOUND;
  MailAddress found{resolved->mailbox, resolved->mailbox + "@" + session->domain};
  *out = blocks_.Adopt(BuildRecipientBlock(found, recipient->role));
  *count = 1;
  return CMC_SUCCESS;
}

}  // namespace velcmc
