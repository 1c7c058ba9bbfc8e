// Listing, reading and deleting the messages of the session's IMAP
// mailbox. A session keeps its listing -- each message's UID, \Seen flag
// and summary -- and before each call asks the server only for the
// mailbox's status: while UIDVALIDITY, UIDNEXT and the message count are
// what they were, the listing stands (changes this session makes are
// applied to it as they are made); otherwise UIDs and flags are fetched
// again in one command, and the summaries of messages not summarised
// before many to a command. A listing is bounded by transfer_timeout and
// imap.max_messages; what it summarised before it failed or was stopped
// is kept for the next. A summary keeps bounded prefixes of its texts, and
// a session's summaries a bounded sum of them (SummaryBounds).
//
// Messages are read with BODY.PEEK[]: a read marks the message read
// with a flag change of its own, and a peek changes nothing.

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <system_error>
#include <utility>

#include "common/saved_files.h"
#include "common/write_failure.h"
#include "file_system.h"
#include "net/net_provider.h"
#include "net/netlog.h"
#include "platform.h"

namespace velnet {
namespace fs = std::filesystem;
namespace {

constexpr CMC_flags kMessageRead = 0x1;
constexpr CMC_flags kMessageLast = 0x80000000u;

// Parses a message held in memory; the stream keeps its own copy of the
// bytes for as long as the parsed message needs them.
velcmc::ParsedMessage ParseBytes(const std::string& bytes, const velcmc::DeliveryKey& delivery) {
  velcmc::GObjectPtr<GMimeStream> stream(
      g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
  return velcmc::ParseMessage(stream.get(), delivery);
}

std::string ReferenceBytes(const CMC_message_reference* reference) {
  return std::string(reference->string, reference->length);
}

// What a summary keeps of a message's header fields: each text at most so
// many bytes. The library hands out at most 255 bytes of a subject; a
// subject of 60,000 bytes, which a mail server takes from anyone, would
// otherwise be kept whole for every message listed, twice (the summary and
// its laid-out copy).
struct SummaryBounds {
  size_t subject, name, address, type;
};
constexpr SummaryBounds kSummaryBounds{1024, 256, 256, 256};
// Once a session's summaries hold this much text in all, each further one
// keeps only kLeanBounds: a listing of imap.max_messages hostile headers
// then holds at most this much and 256 bytes a message (and the same again
// laid out).
constexpr size_t kListingText = size_t{16} << 20;
constexpr SummaryBounds kLeanBounds{64, 64, 64, 64};

// The first bytes of text, at most max, ending on a whole UTF-8 character
// (a text that is no UTF-8 there is cut at max). A copy of its own size.
std::string Prefix(const std::string& text, size_t max) {
  if (text.size() <= max) return std::string(text.data(), text.size());
  size_t n = max;
  // A character is at most four bytes: at most three continuation bytes
  // (10xxxxxx) before the cut belong to the character it would split.
  const auto continuation = [&text](size_t at) {
    return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
  };
  for (int back = 0; back < 3 && n > 0 && continuation(n); ++back) --n;
  if (continuation(n)) n = max;
  return text.substr(0, n);
}

size_t TextBytes(const velcmc::MessageSummary& summary) {
  size_t n = summary.subject.size() + summary.type.size();
  if (summary.originator) n += summary.originator->name.size() + summary.originator->address.size();
  return n;
}

// A message's summary from its header fields, each text cut to bounds.
// Only the summary is kept: the fields and what was parsed of them go.
velcmc::MessageSummary Summarise(const FetchItem& listed, const SummaryBounds& bounds) {
  velcmc::DeliveryKey delivery;
  delivery.has_time = true;
  delivery.seconds = listed.internal_date;
  velcmc::ParsedMessage parsed = ParseBytes(listed.header + "\n", delivery);
  velcmc::MessageSummary summary;
  summary.type = Prefix(parsed.type, bounds.type);
  summary.subject = Prefix(parsed.subject, bounds.subject);
  summary.time = parsed.time;
  summary.byte_length = static_cast<uint32_t>(std::min<uint64_t>(listed.size, UINT32_MAX));
  summary.delivery = delivery;
  if (!parsed.recipients.empty() && parsed.recipients.front().role == CMC_ROLE_ORIGINATOR) {
    const velcmc::MailAddress& from = parsed.recipients.front().address;
    summary.originator =
        velcmc::MailAddress{Prefix(from.name, bounds.name), Prefix(from.address, bounds.address)};
  }
  return summary;
}

bool MakeOwnDir(const std::string& dir) {
  vel::os::FileInfo info;
  return vel::os::Files().CreatePrivateDirectory(dir.c_str()) &&
         vel::os::Files().Stat(dir.c_str(), &info, false) &&
         info.type == vel::os::FileType::kDirectory && info.owner == vel::os::CurrentUserId();
}

// Writes the attachments into dir (made afresh, owner-only), each under
// the name SavedFiles gives its title. The paths, or nothing on failure, with
// the error number in *error.
std::optional<std::vector<std::string>> ExtractAttachments(const std::string& parent,
                                                           const std::string& dir,
                                                           const velcmc::ParsedMessage& message,
                                                           int* error) {
  std::vector<std::string> paths;
  if (message.attachments.empty()) return paths;
  vel::os::Files().RemoveTree(dir.c_str());
  *error = 0;
  if (!MakeOwnDir(fs::path(parent).parent_path().string()) || !MakeOwnDir(parent) ||
      !MakeOwnDir(dir)) {
    *error = vel::os::LastError();
    return std::nullopt;
  }
  velproviders::SavedFiles files(dir);
  for (size_t i = 0; i < message.attachments.size(); ++i) {
    std::string path;
    int fd = files.Create(message.attachments[i].title, i, &path);
    if (fd < 0) {
      *error = vel::os::LastError();
      return std::nullopt;
    }
    velcmc::GObjectPtr<GMimeStream> out = velcmc::NewFileWriter(vel::os::Files(), fd, true);
    errno = 0;
    const bool written = velcmc::WriteAttachment(message.attachments[i], out.get()) &&
                         g_mime_stream_flush(out.get()) == 0;
    *error = errno;
    out.reset();
    if (!written) return std::nullopt;
    paths.push_back(std::move(path));
  }
  return paths;
}

}  // namespace

namespace {

// The session's lock, for a CMC call. A call already holding it is asked
// to stop (at its next wait on the server, or its next read) rather than
// waited for to its end; the connection is then readied for this call,
// which ends too once the library gives up on it.
class VEL_SCOPED_CAPABILITY SessionLock {
 public:
  explicit SessionLock(Session& s) VEL_ACQUIRE(s.mutex) : s_(s) {
    if (!s.mutex.try_lock()) {
      ++s.waiting;
      s.mutex.lock();
      --s.waiting;
    }
    s.imap->Begin([&s] { return s.waiting.load() > 0; }, true);
  }
  ~SessionLock() VEL_RELEASE() { s_.mutex.unlock(); }
  SessionLock(const SessionLock&) = delete;
  SessionLock& operator=(const SessionLock&) = delete;

 private:
  Session& s_;
};

}  // namespace

CMC_return_code Provider::Refresh(Session& s) {
  const std::string who = "mailbox of " + s.user + ": ";
  // One exchange when nothing happened since the last listing (what this
  // session did itself, it keeps in the listing as it does it).
  bool changed = true;
  ImapResult r = s.imap->Poll(&changed);
  if (!r.ok()) {
    Log(s.config.log, who + r.error);
    return CodeFor(r);
  }
  if (s.listed && !changed) return CMC_SUCCESS;
  // Something changed, if only a flag (which the mailbox's status does not
  // show): the flags are listed anew.
  s.listed = false;
  MailboxStatus status;
  r = s.imap->Status(&status);
  if (!r.ok()) {
    Log(s.config.log, who + r.error);
    return CodeFor(r);
  }
  if (s.listed && status == s.status) return CMC_SUCCESS;
  s.listed = false;
  s.laid_out.reset();
  if (status.messages > s.config.max_messages) {
    Log(s.config.log, who + "not listed: it holds " + std::to_string(status.messages) +
                          " messages, more than imap.max_messages (" +
                          std::to_string(s.config.max_messages) + ")");
    return CMC_E_FAILURE;
  }
  if (status.uidvalidity != s.cached_validity) s.messages.clear();
  s.cached_validity = status.uidvalidity;

  std::vector<ListedUid> listed;
  r = s.imap->ListFlags(s.config.max_messages, &listed);
  if (!r.ok()) {
    Log(s.config.log, who + r.error);
    return CodeFor(r);
  }
  std::vector<uint32_t> missing;
  for (const ListedUid& item : listed)
    if (!s.messages.count(item.uid)) missing.push_back(item.uid);
  // What arrives is kept even when the listing stops part way. The text
  // the summaries hold is bounded for each and, past kListingText, cut
  // shorter.
  size_t text = 0;
  for (const auto& [uid, message] : s.messages) text += TextBytes(*message.summary);
  std::vector<std::pair<uint32_t, CachedMessage>> fetched;
  r = s.imap->Summaries(missing, [&fetched, &text](FetchItem& item) {
    auto summary = std::make_shared<velcmc::MessageSummary>(
        Summarise(item, text < kListingText ? kSummaryBounds : kLeanBounds));
    text += TextBytes(*summary);
    fetched.emplace_back(item.uid, CachedMessage{item.seen, std::move(summary)});
  });
  for (auto& [uid, message] : fetched) s.messages[uid] = std::move(message);
  if (!r.ok()) {
    Log(s.config.log, who + "listing stopped after " + std::to_string(s.messages.size()) +
                          " summaries (kept for the next): " + r.error);
    return CodeFor(r);
  }
  std::map<uint32_t, CachedMessage> fresh;
  for (const ListedUid& item : listed) {
    auto known = s.messages.find(item.uid);
    if (known == s.messages.end()) continue;  // expunged meanwhile
    fresh[item.uid] = {item.seen, known->second.summary};
  }
  s.messages = std::move(fresh);
  s.laid_out.reset();
  s.status = status;
  s.listed = true;
  return CMC_SUCCESS;
}

CMC_return_code Provider::List(CMC_session_id id, const char* message_type, CMC_flags flags,
                               const CMC_message_reference* seed, CMC_uint32* count,
                               CMC_message_summary** result) {
  std::shared_ptr<Session> session = Find(id);
  if (!session) return CMC_E_INVALID_SESSION_ID;
  if (count == nullptr || result == nullptr) return CMC_E_INVALID_PARAMETER;
  if (flags & ~CMC_LIST_UNREAD_ONLY) return CMC_E_UNSUPPORTED_FLAG;
  *result = nullptr;
  const CMC_uint32 wanted = *count;
  *count = 0;

  Session& s = *session;
  SessionLock lock(s);
  if (CMC_return_code rc = Refresh(s)) return rc;
  const uint32_t validity = s.status.uidvalidity;
  if (!s.laid_out) {
    std::vector<std::string> references;
    references.reserve(s.messages.size());
    std::vector<velcmc::SummaryTemplate::Message> messages;
    messages.reserve(s.messages.size());
    for (const auto& [uid, m] : s.messages) references.push_back(MakeReference(validity, uid));
    size_t i = 0;
    for (const auto& [uid, m] : s.messages) messages.push_back({references[i++], m.summary.get()});
    s.laid_out = std::make_shared<const velcmc::SummaryTemplate>(messages);
  }
  // UIDs ascend in the order messages arrived; the template's positions
  // are those of messages.
  auto it = s.messages.begin();
  if (seed != nullptr && seed->length > 0) {
    uint32_t v = 0, uid = 0;
    if (!ParseReference(ReferenceBytes(seed), &v, &uid) || v != validity)
      return CMC_E_INVALID_MESSAGE_REFERENCE;
    // A message expunged since: the listing goes on from the first one that
    // arrived after it.
    it = s.messages.upper_bound(uid);
  }
  uint32_t position = static_cast<uint32_t>(std::distance(s.messages.begin(), it));
  const char* type_text = message_type != nullptr ? s.laid_out->TypeText(message_type) : nullptr;
  if (message_type != nullptr && type_text == nullptr) return CMC_SUCCESS;
  size_t room = static_cast<size_t>(std::distance(it, s.messages.end()));
  if (wanted != 0) room = std::min<size_t>(room, wanted);
  if (room == 0) return CMC_SUCCESS;
  auto* out = static_cast<CMC_message_summary*>(std::malloc(room * sizeof(CMC_message_summary)));
  if (out == nullptr) return CMC_E_INSUFFICIENT_MEMORY;
  size_t n = 0;
  for (; it != s.messages.end() && n < room; ++it, ++position) {
    const CMC_message_summary& summary = s.laid_out->At(position);
    if (type_text != nullptr && summary.message_type != type_text) continue;
    if ((flags & CMC_LIST_UNREAD_ONLY) && it->second.seen) continue;
    out[n] = summary;
    out[n].summary_flags = it->second.seen ? CMC_SUM_READ : 0;
    ++n;
  }
  if (n == 0) {
    std::free(out);
    return CMC_SUCCESS;
  }
  out[n - 1].summary_flags |= CMC_SUM_LAST_ELEMENT;
  *result = blocks_.Adopt(out, s.laid_out);
  *count = static_cast<CMC_uint32>(n);
  return CMC_SUCCESS;
}

CMC_return_code Provider::Read(CMC_session_id id, const CMC_message_reference* reference,
                               CMC_flags flags, CMC_message** message) {
  std::shared_ptr<Session> session = Find(id);
  if (!session) return CMC_E_INVALID_SESSION_ID;
  if (message == nullptr) return CMC_E_INVALID_PARAMETER;
  *message = nullptr;
  if (reference == nullptr) return CMC_E_INVALID_MESSAGE_REFERENCE;
  const std::string ref = ReferenceBytes(reference);
  uint32_t validity = 0, uid = 0;
  if (!ParseReference(ref, &validity, &uid)) return CMC_E_INVALID_MESSAGE_REFERENCE;

  SessionLock lock(*session);
  // A message the listing knows is fetched straight away (a walk lists
  // before each read); a message gone meanwhile is then not found by the
  // fetch. Any other reference waits for the listing to be brought up to
  // date.
  auto found = session->messages.find(uid);
  if (!session->listed || validity != session->status.uidvalidity ||
      found == session->messages.end()) {
    if (CMC_return_code rc = Refresh(*session)) return rc;
    found = session->messages.find(uid);
    if (validity != session->status.uidvalidity || found == session->messages.end())
      return CMC_E_INVALID_MESSAGE_REFERENCE;
  }
  CachedMessage& cached = found->second;

  std::string bytes;
  ImapResult r = session->imap->Fetch(validity, uid, &bytes);
  if (!r.ok()) {
    Log(session->config.log,
        "read of UID " + std::to_string(uid) + " for " + session->user + ": " + r.error);
    if (r.code == CURLE_FILESIZE_EXCEEDED) return CMC_E_TEXT_TOO_LARGE;
    // Gone meanwhile (the server answers a fetch of an expunged UID with
    // nothing, or with the expunge): the listing, brought up to date,
    // tells.
    session->listed = false;
    if (CMC_return_code rc = Refresh(*session)) return rc;
    if (validity != session->status.uidvalidity || !session->messages.count(uid))
      return CMC_E_INVALID_MESSAGE_REFERENCE;
    return CodeFor(r);
  }
  if (!(flags & CMC_DO_NOT_MARK_AS_READ) && !cached.seen) {
    r = session->imap->SetSeen({uid}, true);
    if (r.ok())
      cached.seen = true;
    else
      Log(session->config.log, "read of UID " + std::to_string(uid) + " for " + session->user +
                                   ": not marked read: " + r.error);
  }

  velcmc::ParsedMessage parsed = ParseBytes(bytes, cached.summary->delivery);
  // Mail crosses the network with CRLF line ends; the text is handed out
  // with LF, as the maildir provider hands it out.
  if (parsed.text) {
    std::string& text = *parsed.text;
    size_t out = 0;
    for (size_t i = 0; i < text.size(); ++i)
      if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) text[out++] = text[i];
    text.resize(out);
  }
  bytes.clear();
  bytes.shrink_to_fit();
  const std::string dir =
      session->attachment_dir + "/" + velcmc::MessageFolderName(session->attachment_dir, ref);
  int error = 0;
  auto paths = ExtractAttachments(session->attachment_dir, dir, parsed, &error);
  if (!paths) return velproviders::WriteFailureCode(error, CMC_E_ATTACHMENT_WRITE_FAILURE);
  CMC_flags message_flags = kMessageLast | (cached.seen ? kMessageRead : 0);
  *message = blocks_.Adopt(velcmc::BuildMessageBlock(ref, parsed, *paths, message_flags));
  return CMC_SUCCESS;
}

CMC_return_code Provider::ActOn(CMC_session_id id, const CMC_message_reference* reference,
                                CMC_enum operation) {
  std::shared_ptr<Session> session = Find(id);
  if (!session) return CMC_E_INVALID_SESSION_ID;
  if (operation != CMC_ACT_ON_DELETE) return CMC_E_UNSUPPORTED_ACTION;
  if (reference == nullptr) return CMC_E_INVALID_MESSAGE_REFERENCE;
  uint32_t validity = 0, uid = 0;
  if (!ParseReference(ReferenceBytes(reference), &validity, &uid))
    return CMC_E_INVALID_MESSAGE_REFERENCE;

  SessionLock lock(*session);
  if (CMC_return_code rc = Refresh(*session)) return rc;
  if (validity != session->status.uidvalidity || !session->messages.count(uid))
    return CMC_E_INVALID_MESSAGE_REFERENCE;
  ImapResult r = session->imap->Delete(uid);
  if (!r.ok()) {
    Log(session->config.log,
        "delete of UID " + std::to_string(uid) + " for " + session->user + ": " + r.error);
    session->listed = false;
    return CodeFor(r);
  }
  session->messages.erase(uid);
  session->laid_out.reset();
  if (session->status.messages > 0) --session->status.messages;
  return CMC_SUCCESS;
}

}  // namespace velnet
