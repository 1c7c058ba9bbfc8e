// velnet-status: what the spool holds. Queued and failed messages, one
// line each with their recipients, attempts and the last server reply,
// then the last lines of the sent log. The configuration is the one
// VELNET_CONFIG names. Exit status 0, or 2 on a configuration error.
#include <cstdio>
#include <string>

#include "config.h"
#include "spool.h"

namespace {

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& s : items) out += (out.empty() ? "" : ",") + s;
  return out;
}

// Sent-log lines shown at most.
constexpr size_t kSentShown = 20;

}  // namespace

int main() {
  std::string error;
  auto config = velnet::LoadConfigFromEnvironment(&error);
  if (!config) {
    std::fprintf(stderr, "velnet-status: %s\n", error.c_str());
    return 2;
  }
  velnet::Spool spool(config->spool);
  auto queued = spool.Queued();
  std::printf("queued: %zu\n", queued.size());
  for (const std::string& id : queued) {
    auto e = spool.Load(id);
    if (!e) continue;
    std::printf("  %s user=%s to=%s attempts=%u reply=%s\n", id.c_str(), e->envelope.user.c_str(),
                Join(e->state.Pending(e->envelope)).c_str(), e->state.attempts,
                e->state.last_reply.c_str());
  }
  auto failed = spool.Failed();
  std::printf("failed: %zu\n", failed.size());
  for (const std::string& id : failed) {
    auto e = spool.Load(id, true);
    if (!e) continue;
    std::printf("  %s user=%s attempts=%u\n", id.c_str(), e->envelope.user.c_str(),
                e->state.attempts);
    for (const auto& [who, reply] : e->state.refused)
      std::printf("    %s: %s\n", who.c_str(), reply.c_str());
    if (!e->state.accepted.empty())
      std::printf("    delivered to %s\n", Join(e->state.accepted).c_str());
  }
  auto sent = spool.SentLog();
  std::printf("sent: %zu\n", sent.size());
  for (size_t i = sent.size() > kSentShown ? sent.size() - kSentShown : 0; i < sent.size(); ++i)
    std::printf("  %s\n", sent[i].c_str());
  return 0;
}
