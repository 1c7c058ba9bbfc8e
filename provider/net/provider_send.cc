// Sending: the message is composed, spooled durably, and handed to the
// outbox; cmc_send returns once it is spooled.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>

#include "compose.h"
#include "netlog.h"
#include "outbox.h"
#include "provider.h"
#include "spool.h"

namespace velnet {
namespace fs = std::filesystem;
namespace {

// Reads an attachment's file whole, without following a symbolic link and
// without reading past limit: 0, or the CMC code for what failed.
CMC_return_code ReadAttachment(const char* file_name, uint64_t limit, std::string* data) {
  if (file_name == nullptr || *file_name == '\0') return CMC_E_ATTACHMENT_NOT_FOUND;
  int fd = open(file_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? CMC_E_ATTACHMENT_NOT_FOUND : CMC_E_ATTACHMENT_OPEN_FAILURE;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return CMC_E_ATTACHMENT_OPEN_FAILURE;
  }
  char chunk[65536];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return CMC_E_ATTACHMENT_READ_FAILURE;
    }
    if (n == 0) break;
    if (data->size() + static_cast<size_t>(n) > limit) {
      close(fd);
      return CMC_E_TEXT_TOO_LARGE;
    }
    data->append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  return CMC_SUCCESS;
}

std::string TitleOf(const CMC_attachment& attachment) {
  if (attachment.attach_title != nullptr && *attachment.attach_title != '\0')
    return attachment.attach_title;
  return fs::path(attachment.attach_filename ? attachment.attach_filename : "").filename().string();
}

}  // namespace

CMC_return_code Provider::Send(CMC_session_id id, const CMC_message* message) {
  std::shared_ptr<Session> session = Find(id);
  if (!session) return CMC_E_INVALID_SESSION_ID;
  if (message == nullptr) return CMC_E_INVALID_PARAMETER;
  const Config& config = session->config;

  velcmc::OutgoingMessage out;
  out.from = {"", config.FromFor(session->user)};
  out.domain = config.domain;
  out.subject = message->subject ? message->subject : "";
  out.type = message->message_type ? message->message_type : "";
  if (message->text_note) out.text = message->text_note;

  Envelope envelope;
  envelope.user = session->user;
  envelope.from = out.from.address;
  std::set<std::string> seen;
  for (const CMC_recipient* r = message->recipients; r != nullptr; ++r) {
    if (r->role != CMC_ROLE_ORIGINATOR) {
      if (r->role > CMC_ROLE_BCC) return CMC_E_INVALID_ENUM;
      const char* given = r->address && *r->address ? r->address : r->name;
      auto address = CompleteAddress(given ? given : "", config.domain);
      if (!address) return CMC_E_RECIPIENT_NOT_FOUND;
      if (address->name.empty() && r->name && *r->name && r->address && *r->address)
        address->name = r->name;
      if (r->role == CMC_ROLE_TO) out.to.push_back(*address);
      if (r->role == CMC_ROLE_CC) out.cc.push_back(*address);
      if (seen.insert(address->address).second) envelope.recipients.push_back(address->address);
    }
    if (r->recip_flags & CMC_RECIP_LAST_ELEMENT) break;
  }
  if (envelope.recipients.empty()) return CMC_E_INVALID_MESSAGE_PARAMETER;

  uint64_t budget = config.max_message_bytes;
  for (const CMC_attachment* a = message->attachments; a != nullptr; ++a) {
    velcmc::OutgoingMessage::Attachment attachment;
    attachment.title = TitleOf(*a);
    std::string data;
    if (CMC_return_code rc = ReadAttachment(a->attach_filename, budget, &data)) {
      Log(config.log,
          "send by " + session->user + ": attachment " + attachment.title +
              (rc == CMC_E_TEXT_TOO_LARGE ? " makes the message larger than max_message_bytes"
                                          : " cannot be read"));
      return rc;
    }
    budget -= data.size();
    attachment.content.reset(g_mime_stream_mem_new_with_buffer(data.data(), data.size()));
    out.attachments.push_back(std::move(attachment));
    if (a->attach_flags & CMC_ATT_LAST_ELEMENT) break;
  }

  std::string body;
  bool failed = false;
  {
    velcmc::GObjectPtr<GMimeStream> composed = velcmc::NewStringStream(&body, &failed);
    if (velcmc::WriteComposedMessage(out, composed.get()) < 0 || failed) {
      Log(config.log, "send by " + session->user + ": the message could not be composed");
      return CMC_E_INSUFFICIENT_MEMORY;
    }
  }
  if (body.size() > config.max_message_bytes) {
    Log(config.log, "send by " + session->user + ": the message is larger than max_message_bytes");
    return CMC_E_TEXT_TOO_LARGE;
  }
  std::string spooled, error;
  CMC_return_code rc = Spool(config.spool).Add(envelope, body, &spooled, &error);
  if (rc != CMC_SUCCESS) {
    Log(config.log, "send by " + session->user + " failed: " + error);
    return rc;
  }
  Log(config.log, "message " + spooled + " spooled by " + session->user + " for " +
                      std::to_string(envelope.recipients.size()) + " recipient(s)");
  Outbox::Instance().Wake();
  return CMC_SUCCESS;
}

}  // namespace velnet
