// Listing, reading and deleting the messages of the session's mailbox.
#include <algorithm>
#include <fstream>
#include <set>
#include <system_error>

#include "names.h"
#include "provider.h"

namespace velcmc {
namespace fs = std::filesystem;
namespace {

// Rounds tried when files move under a listing or a read (another reader
// marking or deleting them) before giving the result as it stands.
constexpr int kRaceRounds = 3;

// Message flags of a message handed out by a read.
constexpr CMC_flags kMessageRead = 0x1;  // it has been read
constexpr CMC_flags kMessageLast = 0x80000000u;

std::string ReferenceBytes(const CMC_message_reference* reference) {
  return std::string(reference->string, reference->length);
}

bool DeliveredBefore(const MessageSummary& a, std::string_view a_name, const MessageSummary& b,
                     std::string_view b_name) {
  const DeliveryKey &x = a.delivery, &y = b.delivery;
  if (x.seconds != y.seconds) return x.seconds < y.seconds;
  if (x.microseconds != y.microseconds) return x.microseconds < y.microseconds;
  if (x.sequence != y.sequence) return x.sequence < y.sequence;
  return a_name < b_name;
}

std::optional<std::string> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return data;
}

// A file name for an attachment's title: no directories, no hidden names.
std::string SafeFileName(const std::string& title, size_t index) {
  std::string name;
  for (char c : title) name += (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) ? '_' : c;
  name.erase(0, name.find_first_not_of('.'));
  if (name.empty()) name = "attachment" + std::to_string(index + 1);
  return name;
}

// Writes the attachments into dir, each under its title where titles do
// not clash. Returns the paths, or nothing when one could not be written.
std::optional<std::vector<std::string>> ExtractAttachments(const fs::path& dir,
                                                           const ParsedMessage& message) {
  std::vector<std::string> paths;
  if (message.attachments.empty()) return paths;
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir, ec);
  if (ec) return std::nullopt;
  std::set<std::string> used;
  for (size_t i = 0; i < message.attachments.size(); ++i) {
    std::string name = SafeFileName(message.attachments[i].title, i);
    if (!used.insert(name).second) name = std::to_string(i + 1) + "-" + name;
    used.insert(name);
    fs::path path = dir / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string& data = message.attachments[i].data;
    if (!out || !out.write(data.data(), static_cast<std::streamsize>(data.size())) ||
        (out.close(), out.fail()))
      return std::nullopt;
    paths.push_back(path.string());
  }
  return paths;
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

  std::shared_ptr<SummaryCache> cache = caches_.For(session->mailbox.Dir());
  std::vector<MailboxEntry> entries;
  std::vector<std::shared_ptr<const MessageSummary>> summaries;
  for (int round = 0; round < kRaceRounds; ++round) {
    bool vanished = false;
    entries = session->mailbox.Scan();
    summaries = cache->Summaries(session->mailbox, entries, &vanished);
    if (!vanished) break;
  }

  std::vector<size_t> order;
  order.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i)
    if (summaries[i]) order.push_back(i);
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return DeliveredBefore(*summaries[a], entries[a].Unique(), *summaries[b], entries[b].Unique());
  });

  size_t start = 0;
  if (seed != nullptr && seed->length > 0) {
    const std::string after = ReferenceBytes(seed);
    auto it = std::find_if(order.begin(), order.end(),
                           [&](size_t i) { return ReferenceOf(entries[i].Unique()) == after; });
    if (it == order.end()) return CMC_E_INVALID_MESSAGE_REFERENCE;
    start = static_cast<size_t>(it - order.begin()) + 1;
  }

  std::vector<ListedMessage> listed;
  for (size_t k = start; k < order.size(); ++k) {
    if (wanted != 0 && listed.size() >= wanted) break;
    const MailboxEntry& entry = entries[order[k]];
    const MessageSummary& summary = *summaries[order[k]];
    if (message_type != nullptr && summary.type != message_type) continue;
    if ((flags & CMC_LIST_UNREAD_ONLY) && entry.Seen()) continue;
    listed.push_back({ReferenceOf(entry.Unique()), &summary, entry.Seen()});
  }
  *result = blocks_.Adopt(BuildSummaryBlock(listed));
  *count = static_cast<CMC_uint32>(listed.size());
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

  for (int round = 0; round < kRaceRounds; ++round) {
    std::optional<MailboxEntry> entry = mailbox.Find(ref);
    if (!entry) return CMC_E_INVALID_MESSAGE_REFERENCE;
    std::optional<std::string> bytes = ReadFile(mailbox.PathOf(*entry));
    if (!bytes) continue;  // moved meanwhile: look for it again

    bool seen = entry->Seen();
    if (!(flags & CMC_DO_NOT_MARK_AS_READ) && !seen) {
      // Losing the race to another reader that also marked it is fine.
      seen = mailbox.MarkSeen(*entry).has_value() || mailbox.Find(ref).has_value();
    }

    ParsedMessage parsed = ParseMessage(*bytes, ParseDeliveryKey(entry->Unique()));
    auto paths = ExtractAttachments(session->attachment_dir / ref, parsed);
    if (!paths) return CMC_E_ATTACHMENT_WRITE_FAILURE;
    CMC_flags message_flags = kMessageLast | (seen ? kMessageRead : 0);
    *message = blocks_.Adopt(BuildMessageBlock(ref, parsed, *paths, message_flags));
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
  for (int round = 0; round < kRaceRounds; ++round) {
    std::optional<MailboxEntry> entry = session->mailbox.Find(ref);
    if (!entry) return CMC_E_INVALID_MESSAGE_REFERENCE;
    if (session->mailbox.Remove(*entry)) return CMC_SUCCESS;
  }
  return CMC_E_MESSAGE_IN_USE;
}

}  // namespace velcmc
