// Listing, reading and deleting the messages of the session's mailbox.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <utility>

#include "common/saved_files.h"
#include "common/write_failure.h"
#include "file_system.h"
#include "maildir/maildir_provider.h"
#include "mime/gmime_support.h"
#include "mime/names.h"
#include "platform.h"

namespace velcmc {
namespace fs = std::filesystem;
namespace {

// Rounds tried when files move under a listing or a read (another reader
// marking or deleting them) before giving the result as it stands.
constexpr int kRaceRounds = 3;

// A message block not handed out yet.
struct FreeBlock {
  void operator()(CMC_message* block) const { std::free(block); }
};
using MessageBlockPtr = std::unique_ptr<CMC_message, FreeBlock>;

// Message flags of a message handed out by a read.
constexpr CMC_flags kMessageRead = 0x1;  // it has been read
constexpr CMC_flags kMessageLast = 0x80000000u;

std::string ReferenceBytes(const CMC_message_reference* reference) {
  return std::string(reference->string, reference->length);
}

CMC_return_code WriteFailure(int32_t error) {
  return velproviders::WriteFailureCode(error, CMC_E_ATTACHMENT_WRITE_FAILURE);
}

// Writes the attachments into dir (owner-only, like each file), each
// under the name SavedFiles gives its title. Returns 0 with the paths, or
// the CMC code for what failed.
CMC_return_code ExtractAttachments(const fs::path& attachment_root, const fs::path& session_dir,
                                   const fs::path& dir, const ParsedMessage& message,
                                   std::vector<std::string>* paths) {
  if (message.attachments.empty()) return CMC_SUCCESS;
  vel::os::Files().RemoveTree(dir.c_str());
  for (const fs::path& level : {attachment_root, session_dir, dir})
    if (!vel::os::Files().CreatePrivateDirectory(level.string().c_str()))
      return CMC_E_ATTACHMENT_OPEN_FAILURE;
  velproviders::SavedFiles files(dir.string());
  for (size_t i = 0; i < message.attachments.size(); ++i) {
    std::string path;
    int fd = files.Create(message.attachments[i].title, i, &path);
    if (fd < 0) {
      return velproviders::WriteFailureCode(vel::os::LastError(), CMC_E_ATTACHMENT_OPEN_FAILURE);
    }
    GObjectPtr<GMimeStream> file = NewFileWriter(vel::os::Files(), fd, false);
    bool written;
    {
      GObjectPtr<GMimeStream> buffered(
          g_mime_stream_buffer_new(file.get(), GMIME_STREAM_BUFFER_BLOCK_WRITE));
      written = WriteAttachment(message.attachments[i], buffered.get());
    }
    int32_t error = vel::os::LastError();
    file.reset();
    if (!vel::os::Files().CloseFile(fd) && written) {
      written = false;
      error = vel::os::LastError();
    }
    if (!written) return WriteFailure(error);
    paths->push_back(std::move(path));
  }
  return CMC_SUCCESS;
}

}  // namespace

CMC_return_code Provider::List(CMC_session_id id, const char* message_type, CMC_flags flags,
                               const CMC_message_reference* seed, CMC_uint32* count,
                               CMC_message_summary** result) {
  std::shared_ptr<const Session> session = Find(id);
  if (!session) return CMC_E_INVALID_SESSION_ID;
  if (count == nullptr || result == nullptr) return CMC_E_INVALID_PARAMETER;
  if (flags & ~CMC_LIST_UNREAD_ONLY) return CMC_E_UNSUPPORTED_FLAG;
  *result = nullptr;
  const CMC_uint32 wanted = *count;
  *count = 0;

  std::string after;
  if (seed != nullptr && seed->length > 0) after = ReferenceBytes(seed);
  CMC_message_summary* block = nullptr;
  uint32_t listed = 0;
  std::shared_ptr<const void> keep;
  bool lent = false;
  if (!session->index->List(message_type, (flags & CMC_LIST_UNREAD_ONLY) != 0,
                            after.empty() ? nullptr : &after, wanted, &block, &listed, &keep,
                            &lent))
    return CMC_E_INVALID_MESSAGE_REFERENCE;
  *result = lent ? blocks_.Lend(block, std::move(keep)) : blocks_.Adopt(block, std::move(keep));
  *count = listed;
  return CMC_SUCCESS;
}

CMC_return_code Provider::Read(CMC_session_id id, const CMC_message_reference* reference,
                               CMC_flags flags, CMC_message** message) {
  std::shared_ptr<const Session> session = Find(id);
  if (!session) return CMC_E_INVALID_SESSION_ID;
  if (message == nullptr) return CMC_E_INVALID_PARAMETER;
  *message = nullptr;
  if (reference == nullptr) return CMC_E_INVALID_MESSAGE_REFERENCE;
  const std::string ref = ReferenceBytes(reference);
  const Mailbox& mailbox = session->mailbox;

  MailboxIndex& index = *session->index;

  for (int round = 0; round < kRaceRounds; ++round) {
    std::optional<MailboxEntry> entry = index.Find(ref);
    if (!entry) return CMC_E_INVALID_MESSAGE_REFERENCE;
    uint64_t size = 0;
    int fd =
        vel::os::Files().OpenRegularFile(mailbox.PathOf(*entry).string().c_str(), &size, false);
    if (fd < 0) {
      int32_t error = vel::os::LastError();
      if (error == static_cast<int32_t>(std::errc::no_such_file_or_directory)) {
        index.Forget();  // moved or removed by someone else
        continue;
      }
      return error == static_cast<int32_t>(std::errc::too_many_symbolic_link_levels) ||
                     error == static_cast<int32_t>(std::errc::invalid_argument)
                 ? CMC_E_INVALID_MESSAGE_REFERENCE
                 : CMC_E_FAILURE;
    }
    GObjectPtr<GMimeStream> file = NewFileReader(vel::os::Files(), fd, true);
    if (size > MaxMessageBytes()) return CMC_E_TEXT_TOO_LARGE;

    ParsedMessage parsed = ParseMessage(file.get(), ParseDeliveryKey(entry->Unique()),
                                        session->account + "@" + session->domain);
    std::vector<std::string> paths;
    const fs::path dir =
        session->attachment_dir / MessageFolderName(session->attachment_dir.string(), ref);
    if (CMC_return_code rc = ExtractAttachments(AttachmentRoot(session->root),
                                                session->attachment_dir, dir, parsed, &paths)) {
      vel::os::Files().RemoveTree(dir.c_str());
      return rc;
    }
    MessageBlockPtr block(BuildMessageBlock(ref, parsed, paths, kMessageLast));
    blocks_.Adopt(block.get());
    CMC_message* out = block.release();

    // Only a read that succeeded marks the message read.
    bool seen = entry->Seen();
    if (!(flags & CMC_DO_NOT_MARK_AS_READ) && !seen) {
      if (index.MarkSeen(ref, *entry)) {
        seen = true;
      } else {
        // Losing the race to another reader that also marked it is fine.
        index.Forget();
        seen = index.Find(ref).has_value();
      }
    }
    if (seen) out->message_flags |= kMessageRead;
    *message = out;
    return CMC_SUCCESS;
  }
  return CMC_E_MESSAGE_IN_USE;
}

CMC_return_code Provider::ActOn(CMC_session_id id, const CMC_message_reference* reference,
                                CMC_enum operation) {
  std::shared_ptr<const Session> session = Find(id);
  if (!session) return CMC_E_INVALID_SESSION_ID;
  if (operation != CMC_ACT_ON_DELETE) return CMC_E_UNSUPPORTED_ACTION;
  if (reference == nullptr) return CMC_E_INVALID_MESSAGE_REFERENCE;
  const std::string ref = ReferenceBytes(reference);
  MailboxIndex& index = *session->index;
  for (int round = 0; round < kRaceRounds; ++round) {
    std::optional<MailboxEntry> entry = index.Find(ref);
    if (!entry) return CMC_E_INVALID_MESSAGE_REFERENCE;
    if (session->mailbox.Remove(*entry)) {
      index.Removed(ref);
      return CMC_SUCCESS;
    }
    index.Forget();  // moved or removed by someone else
  }
  return CMC_E_MESSAGE_IN_USE;
}

}  // namespace velcmc
