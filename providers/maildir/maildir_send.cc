// Sending: one copy of the message for each mailbox named, delivered all
// together or not at all; the message is written once.
#include <set>
#include <string_view>
#include <system_error>

#include "common/outgoing.h"
#include "common/write_failure.h"
#include "file_system.h"
#include "maildir/accounts.h"
#include "maildir/delivery.h"
#include "maildir/maildir_provider.h"
#include "mime/compose.h"
#include "mime/gmime_support.h"
#include "platform.h"

namespace velcmc {
namespace fs = std::filesystem;
namespace {

// Opens an attachment's file: a regular file, never through a symbolic
// link as its last component (as every provider opens the files it is
// named), and not one of the mail root's own files. Puts
// its content in *content and adds its size to *total. 0, or the CMC code
// for what failed.
CMC_return_code OpenAttachment(const char* file_name, const std::string& root_real,
                               GObjectPtr<GMimeStream>* content, uint64_t* total) {
  // The account file, the mailboxes and the saved attachments are never
  // mailed, by whatever name or link they are reached.
  auto in_root = [&](int fd, const vel::os::FileInfo&) {
    const std::string real = vel::os::Files().RealPathOf(fd);
    return real.empty() || root_real.empty() || real == root_real ||
           real.compare(0, root_real.size() + 1, root_real + "/") == 0;
  };
  uint64_t size = 0;
  CMC_return_code rc = CMC_SUCCESS;
  bool own = false;
  int fd = velproviders::OpenAttachment(file_name, in_root, &size, &rc, &own);
  if (fd < 0) return rc;
  // The stream owns the descriptor from here on.
  *content = NewFileReader(vel::os::Files(), fd, true);
  *total += size;
  return CMC_SUCCESS;
}

CMC_return_code WriteFailure() {
  return velproviders::WriteFailureCode(vel::os::LastError(), CMC_E_FAILURE);
}

}  // namespace

CMC_return_code Provider::Send(CMC_session_id id, const CMC_message* message) {
  std::shared_ptr<const Session> session = Find(id);
  if (!session) return CMC_E_INVALID_SESSION_ID;
  if (message == nullptr) return CMC_E_INVALID_PARAMETER;
  const uint64_t limit = MaxMessageBytes();

  OutgoingMessage out;
  out.from = {session->account, session->account + "@" + session->domain};
  out.domain = session->domain;
  out.subject = message->subject ? message->subject : "";
  out.type = message->message_type ? message->message_type : "";
  uint64_t total = 0;  // what the message carries, before encoding
  if (message->text_note) {
    out.text = std::string_view(message->text_note);
    total += out.text->size();
  }

  // Every recipient must resolve before anything is written.
  auto accounts = LoadAccounts(session->root);
  std::vector<std::string> mailboxes;  // in order, each once
  std::set<std::string> seen;
  CMC_return_code walked = velproviders::ForEachRecipient(
      message->recipients, [&](const CMC_recipient& r) -> CMC_return_code {
        auto resolved = Resolve(*session, r.name ? r.name : r.address, accounts);
        if (!resolved) return CMC_E_RECIPIENT_NOT_FOUND;
        if (r.role == CMC_ROLE_TO) out.to.push_back(resolved->header);
        if (r.role == CMC_ROLE_CC) out.cc.push_back(resolved->header);
        if (seen.insert(resolved->mailbox).second) mailboxes.push_back(resolved->mailbox);
        return CMC_SUCCESS;
      });
  if (walked != CMC_SUCCESS) return walked;
  if (mailboxes.empty()) return CMC_E_INVALID_MESSAGE_PARAMETER;

  std::error_code ec;
  const std::string root_real = fs::canonical(session->root, ec).string();
  walked = velproviders::ForEachAttachment(
      message->attachments, [&](const CMC_attachment& a) -> CMC_return_code {
        OutgoingMessage::Attachment attachment;
        attachment.title = velproviders::AttachmentTitle(a);
        if (CMC_return_code rc =
                OpenAttachment(a.attach_filename, root_real, &attachment.content, &total))
          return rc;
        out.attachments.push_back(std::move(attachment));
        return CMC_SUCCESS;
      });
  if (walked != CMC_SUCCESS) return walked;
  // What is larger before encoding is larger after it too.
  if (total > limit) return CMC_E_TEXT_TOO_LARGE;

  // The message is composed straight into the first copy, and every other
  // copy is that same file under a name of its own in its mailbox. No copy
  // carries a line of its own (such as whom it was delivered to): a reader
  // takes a copy's recipient from the mailbox it reads it in.
  Delivery delivery(session->root);
  for (size_t i = 0; i < mailboxes.size(); ++i) {
    Mailbox mailbox(session->root / mailboxes[i]);
    if (!mailbox.Create()) return CMC_E_FAILURE;
    CMC_return_code rc = CMC_SUCCESS;
    if (i == 0) {
      rc = delivery.Stage(mailbox, "", [&](int fd) -> CMC_return_code {
        GObjectPtr<GMimeStream> file = NewFileWriter(vel::os::Files(), fd, false);
        GObjectPtr<GMimeStream> buffered(
            g_mime_stream_buffer_new(file.get(), GMIME_STREAM_BUFFER_BLOCK_WRITE));
        if (WriteComposedMessage(out, buffered.get()) < 0) return WriteFailure();
        // Where the file now ends: the message as encoded.
        const int64_t end = g_mime_stream_tell(file.get());
        if (end < 0) return CMC_E_FAILURE;
        if (static_cast<uint64_t>(end) > limit) return CMC_E_TEXT_TOO_LARGE;
        return CMC_SUCCESS;
      });
    } else {
      rc = delivery.StageLink(mailbox);
    }
    if (rc != CMC_SUCCESS) return rc;
  }
  return delivery.Commit();
}

}  // namespace velcmc
