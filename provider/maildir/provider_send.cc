// Sending: one copy of the message for each mailbox named, delivered all
// together or not at all.
#include <fstream>
#include <set>
#include <system_error>

#include "accounts.h"
#include "compose.h"
#include "delivery.h"
#include "provider.h"

namespace velcmc {
namespace fs = std::filesystem;
namespace {

// Reads an attachment's file whole: 0, or the CMC code for what failed.
CMC_return_code ReadAttachment(const char* file_name, std::string* data) {
  if (file_name == nullptr || *file_name == '\0') return CMC_E_ATTACHMENT_NOT_FOUND;
  std::error_code ec;
  fs::file_status status = fs::status(file_name, ec);
  if (status.type() == fs::file_type::not_found) return CMC_E_ATTACHMENT_NOT_FOUND;
  if (ec || status.type() == fs::file_type::directory) return CMC_E_ATTACHMENT_OPEN_FAILURE;
  std::ifstream in(file_name, std::ios::binary);
  if (!in) return CMC_E_ATTACHMENT_OPEN_FAILURE;
  uintmax_t size = fs::file_size(file_name, ec);
  if (ec) return CMC_E_ATTACHMENT_READ_FAILURE;
  data->resize(size);
  if (size > 0 && !in.read(data->data(), static_cast<std::streamsize>(size)))
    return CMC_E_ATTACHMENT_READ_FAILURE;
  // The file may have grown while it was read: take the rest too.
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0)
    data->append(chunk, static_cast<size_t>(in.gcount()));
  if (in.bad()) return CMC_E_ATTACHMENT_READ_FAILURE;
  return CMC_SUCCESS;
}

std::string TitleOf(const CMC_attachment& attachment) {
  if (attachment.attach_title != nullptr && *attachment.attach_title != '\0')
    return attachment.attach_title;
  return fs::path(attachment.attach_filename ? attachment.attach_filename : "")
      .filename()
      .string();
}

}  // namespace

CMC_return_code Provider::Send(CMC_session_id id, const CMC_message* message) {
  std::shared_ptr<const Session> session = Find(id);
  if (!session) return CMC_E_INVALID_SESSION_ID;
  if (message == nullptr) return CMC_E_INVALID_PARAMETER;

  OutgoingMessage out;
  out.from = {session->account, session->account + "@" + session->domain};
  out.domain = session->domain;
  out.subject = message->subject ? message->subject : "";
  out.type = message->message_type ? message->message_type : "";
  if (message->text_note) out.text = message->text_note;

  // Every recipient must resolve before anything is written.
  auto accounts = LoadAccounts(session->root);
  std::vector<std::string> mailboxes;  // in order, each once
  std::set<std::string> seen;
  for (const CMC_recipient* r = message->recipients; r != nullptr; ++r) {
    if (r->role != CMC_ROLE_ORIGINATOR) {
      if (r->role > CMC_ROLE_BCC) return CMC_E_INVALID_ENUM;
      auto resolved = Resolve(*session, r->name ? r->name : r->address, accounts);
      if (!resolved) return CMC_E_RECIPIENT_NOT_FOUND;
      if (r->role == CMC_ROLE_TO) out.to.push_back(resolved->header);
      if (r->role == CMC_ROLE_CC) out.cc.push_back(resolved->header);
      if (seen.insert(resolved->mailbox).second) mailboxes.push_back(resolved->mailbox);
    }
    if (r->recip_flags & CMC_RECIP_LAST_ELEMENT) break;
  }
  if (mailboxes.empty()) return CMC_E_INVALID_MESSAGE_PARAMETER;

  for (const CMC_attachment* a = message->attachments; a != nullptr; ++a) {
    OutgoingMessage::Attachment attachment;
    attachment.title = TitleOf(*a);
    if (CMC_return_code rc = ReadAttachment(a->attach_filename, &attachment.data)) return rc;
    out.attachments.push_back(std::move(attachment));
    if (a->attach_flags & CMC_ATT_LAST_ELEMENT) break;
  }

  const std::string body = ComposeMessage(out);
  Delivery delivery;
  for (const std::string& name : mailboxes) {
    Mailbox mailbox(session->root / name);
    if (!mailbox.Create()) return CMC_E_FAILURE;
    // Each copy says whom it was delivered to, as a transfer agent's would;
    // that is how a blind-copy recipient's copy knows its own recipient.
    std::string head = "Delivered-To: " + name + "@" + session->domain + "\n";
    if (CMC_return_code rc = delivery.Stage(mailbox, head, body)) return rc;
  }
  return delivery.Commit();
}

}  // namespace velcmc
