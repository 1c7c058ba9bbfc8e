// Sending: the message is composed, spooled durably, and handed to the
// outbox; cmc_send returns once it is spooled.

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "common/outgoing.h"
#include "common/write_failure.h"
#include "file_system.h"
#include "mime/compose.h"
#include "net/net_provider.h"
#include "net/netlog.h"
#include "net/outbox.h"
#include "net/spool.h"
#include "platform.h"

namespace velnet {
namespace fs = std::filesystem;
namespace {

// The provider's own files: the spool (the queued mail with its
// envelope, the records of failed and sent mail, the attachments read by
// every session), the log and the configuration. None of them is ever
// attached, by whatever name, link or '..' it is reached: they hold other
// users' mail.
class OwnFiles {
 public:
  explicit OwnFiles(const Config& config) {
    std::error_code ec;
    spool_ = fs::weakly_canonical(config.spool, ec).string();
    if (ec) spool_ = config.spool;
    spool_known_ = vel::os::Files().Stat(config.spool.c_str(), &spool_info_, true);
    AddFile(config.log);
    const char* config_file = getenv("VELNET_CONFIG");
    if (config_file != nullptr) AddFile(config_file);
  }

  // Whether the open file fd (st its status) is one of them. A file whose
  // place cannot be told counts as one.
  bool Contains(int fd, const vel::os::FileInfo& info) const {
    for (const auto& [dev, ino] : files_)
      if (info.device == dev && info.inode == ino) return true;
    const std::string real = vel::os::Files().RealPathOf(fd);
    if (real.empty()) return true;
    if (real == spool_ || real.compare(0, spool_.size() + 1, spool_ + "/") == 0) return true;
    // The spool reached by another path (a bind mount): one of the file's
    // directories is the spool's.
    if (!spool_known_) return false;
    for (fs::path dir = fs::path(real).parent_path();; dir = dir.parent_path()) {
      vel::os::FileInfo dir_info;
      if (vel::os::Files().Stat(dir.c_str(), &dir_info, true) &&
          dir_info.device == spool_info_.device && dir_info.inode == spool_info_.inode)
        return true;
      if (dir == dir.root_path() || dir.empty()) break;
    }
    // Another name of a file in the spool (a hard link made outside it, a
    // bind mount of that one file) is on the spool's file system, and is
    // that file.
    return info.device == spool_info_.device && InSpool(info);
  }

 private:
  // Whether a file in the spool's tree (a few levels deep, as the spool
  // lays it out) is the file of info.
  bool InSpool(const vel::os::FileInfo& info, const std::string& dir = {}, int depth = 0) const {
    const std::string here = dir.empty() ? spool_ : dir;
    std::vector<vel::os::DirectoryEntry> entries;
    vel::os::Files().ListDirectory(here.c_str(), &entries);
    for (const vel::os::DirectoryEntry& entry : entries) {
      const std::string path = here + "/" + entry.name;
      if (entry.type == vel::os::FileType::kDirectory) {
        if (depth < 4 && InSpool(info, path, depth + 1)) return true;
      } else if (entry.type == vel::os::FileType::kRegular && Same(path, info)) {
        return true;
      }
    }
    return false;
  }

  static bool Same(const std::string& path, const vel::os::FileInfo& info) {
    vel::os::FileInfo other;
    return vel::os::Files().Stat(path.c_str(), &other, false) && other.device == info.device &&
           other.inode == info.inode;
  }

  void AddFile(const std::string& path) {
    vel::os::FileInfo info;
    if (!path.empty() && vel::os::Files().Stat(path.c_str(), &info, true))
      files_.emplace_back(info.device, info.inode);
  }

  std::string spool_;
  vel::os::FileInfo spool_info_;
  bool spool_known_ = false;
  std::vector<std::pair<uint64_t, uint64_t>> files_;
};

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
  CMC_return_code walked = velproviders::ForEachRecipient(
      message->recipients, [&](const CMC_recipient& r) -> CMC_return_code {
        const char* given = r.address && *r.address ? r.address : r.name;
        auto address = CompleteAddress(given ? given : "", config.domain);
        if (!address) return CMC_E_RECIPIENT_NOT_FOUND;
        if (address->name.empty() && r.name && *r.name && r.address && *r.address)
          address->name = r.name;
        if (r.role == CMC_ROLE_TO) out.to.push_back(*address);
        if (r.role == CMC_ROLE_CC) out.cc.push_back(*address);
        if (seen.insert(address->address).second) envelope.recipients.push_back(address->address);
        return CMC_SUCCESS;
      });
  if (walked != CMC_SUCCESS) return walked;
  if (envelope.recipients.empty()) return CMC_E_INVALID_MESSAGE_PARAMETER;

  // Attachments are read from their files as the message is composed, not
  // held in memory on the way.
  uint64_t total = out.text ? out.text->size() : 0;  // before encoding
  const OwnFiles own(config);
  walked = velproviders::ForEachAttachment(
      message->attachments, [&](const CMC_attachment& a) -> CMC_return_code {
        velcmc::OutgoingMessage::Attachment attachment;
        attachment.title = velproviders::AttachmentTitle(a);
        uint64_t size = 0;
        CMC_return_code rc = CMC_SUCCESS;
        bool own_file = false;
        const int fd = velproviders::OpenAttachment(
            a.attach_filename,
            [&](int file, const vel::os::FileInfo& info) { return own.Contains(file, info); },
            &size, &rc, &own_file);
        // What is larger before encoding is larger after it too.
        if (fd >= 0 && (total += size) > config.max_message_bytes) {
          vel::os::Files().CloseFile(fd);
          rc = CMC_E_TEXT_TOO_LARGE;
        }
        if (rc != CMC_SUCCESS) {
          const char* why =
              rc == CMC_E_TEXT_TOO_LARGE ? " makes the message larger than max_message_bytes"
              : own_file ? " is refused: it is one of the provider's own files (spool, log or "
                           "configuration)"
                         : " cannot be read";
          Log(config.log, "send by " + session->user + ": attachment " + attachment.title + why);
          return rc;
        }
        attachment.content = velcmc::NewFileReader(vel::os::Files(), fd, true);
        out.attachments.push_back(std::move(attachment));
        return CMC_SUCCESS;
      });
  if (walked != CMC_SUCCESS) return walked;

  // Composed straight into the spool file: the message is never whole in
  // memory, whatever its attachments weigh.
  auto compose = [&](int fd) -> CMC_return_code {
    velcmc::GObjectPtr<GMimeStream> file = velcmc::NewFileWriter(vel::os::Files(), fd, false);
    velcmc::GObjectPtr<GMimeStream> buffered(
        g_mime_stream_buffer_new(file.get(), GMIME_STREAM_BUFFER_BLOCK_WRITE));
    errno = 0;
    if (velcmc::WriteComposedMessage(out, buffered.get()) < 0 ||
        g_mime_stream_flush(buffered.get()) != 0)
      return velproviders::WriteFailureCode(vel::os::LastError(), CMC_E_FAILURE);
    return CMC_SUCCESS;
  };
  std::string spooled, error;
  CMC_return_code rc =
      Spool(config.spool).Add(envelope, compose, config.max_message_bytes, &spooled, &error);
  if (rc != CMC_SUCCESS) {
    Log(config.log, "send by " + session->user + " failed: " + error);
    return rc;
  }
  Log(config.log, "message " + spooled + " spooled by " + session->user + " for " +
                      std::to_string(envelope.recipients.size()) + " recipient(s)");
  Outbox::Instance().Spooled();
  return CMC_SUCCESS;
}

}  // namespace velnet
