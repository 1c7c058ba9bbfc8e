// The exported outbox listing (velnet_outbox.h): the spool's rows copied
// into memory the caller gives back with velnet_outbox_free.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "net/config.h"
#include "net/outbox_list.h"
#include "net/velnet_outbox.h"

namespace {

// A copy the caller frees; null for nothing. Throws std::bad_alloc.
const char* Copy(const std::string& s) {
  char* out = static_cast<char*>(std::malloc(s.size() + 1));
  if (out == nullptr) throw std::bad_alloc();
  std::memcpy(out, s.c_str(), s.size() + 1);
  return out;
}

const char* Copy(const std::optional<std::string>& s) { return s ? Copy(*s) : nullptr; }

void FreeRow(velnet_outbox_row& row) {
  for (const char* s :
       {row.id, row.state, row.user, row.sender, row.recipients, row.subject, row.last_reply})
    std::free(const_cast<char*>(s));
}

}  // namespace

extern "C" {

VEL_EXPORT velnet_outbox* velnet_outbox_list(const char* config_path) {
  auto* outbox = static_cast<velnet_outbox*>(std::calloc(1, sizeof(velnet_outbox)));
  if (outbox == nullptr) return nullptr;
  try {
    std::string error;
    std::optional<velnet::Config> config =
        config_path ? velnet::LoadConfig(config_path, &error) : std::nullopt;
    if (!config) {
      outbox->error = const_cast<char*>(Copy(config_path ? error : "no configuration named"));
      return outbox;
    }
    const std::vector<velnet::OutboxItem> items = velnet::ListOutbox(velnet::Spool(config->spool));
    outbox->rows =
        static_cast<velnet_outbox_row*>(std::calloc(items.size() + 1, sizeof(velnet_outbox_row)));
    if (outbox->rows == nullptr) throw std::bad_alloc();
    for (const velnet::OutboxItem& item : items) {
      velnet_outbox_row& row = outbox->rows[outbox->count++];
      row.id = Copy(item.id);
      row.state = Copy(item.state);
      row.user = Copy(item.user);
      row.sender = Copy(item.sender);
      row.recipients = Copy(item.recipients);
      row.subject = Copy(item.subject);
      row.attempts = item.attempts;
      row.last_reply = Copy(item.last_reply);
      row.queued_at = item.queued_at;
      row.next_attempt = item.next_attempt;
      row.done_at = item.done_at;
    }
    return outbox;
  } catch (const std::exception&) {
    velnet_outbox_free(outbox);
    return nullptr;
  }
}

VEL_EXPORT void velnet_outbox_free(velnet_outbox* outbox) {
  if (outbox == nullptr) return;
  for (size_t i = 0; i < outbox->count; ++i) FreeRow(outbox->rows[i]);
  std::free(outbox->rows);
  std::free(outbox->error);
  std::free(outbox);
}

}  // extern "C"
