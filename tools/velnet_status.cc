// velnet-status: what the spool holds. Users whose queue is held by a
// refused login; queued and failed messages, one line each with their
// recipients, attempts and the last server reply; damaged files put in
// quarantine, with the reason; non-delivery reports waiting to be
// appended, with their user, attempts, next attempt and last error; then
// the last lines of the sent log. The configuration is the one
// VELNET_CONFIG names. Exit status 0, or 2 on a configuration error.
#include <cstdio>
#include <ctime>
#include <string>

#include "net/config.h"
#include "net/report.h"
#include "net/spool.h"
#include "velmail_version.h"

namespace {

constexpr char kUsage[] =
    "usage: velnet-status\n"
    "Shows what the network provider's spool holds: held users, queued, failed and\n"
    "quarantined messages, non-delivery reports waiting to be appended, and the last\n"
    "lines of the sent log. The configuration is the file VELNET_CONFIG names.\n"
    "\n"
    "  --version   print the version and stop\n"
    "  -h, --help  this text\n";

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& s : items) out += (out.empty() ? "" : ",") + s;
  return out;
}

// Sent-log lines shown at most.
constexpr size_t kSentShown = 20;

// A time as sent.log writes it: 2026-12-07T14:05:01Z.
std::string Stamp(int64_t seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char out[32];
  std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("velnet-status %s\n", VELMAIL_VERSION);
    return 0;
  }
  if (argc != 1) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string error;
  auto config = velnet::LoadConfigFromEnvironment(&error);
  if (!config) {
    std::fprintf(stderr, "velnet-status: %s\n", error.c_str());
    return 2;
  }
  velnet::Spool spool(config->spool);
  auto holds = spool.Holds();
  if (!holds.empty()) {
    std::printf("held: %zu\n", holds.size());
    for (const auto& [user, reason] : holds)
      std::printf("  user=%s since %s\n", user.c_str(), reason.c_str());
  }
  auto queued = spool.Queued();
  std::printf("queued: %zu\n", queued.size());
  for (const std::string& id : queued) {
    std::string damage;
    auto e = spool.Load(id, false, &damage);
    if (!e) {
      if (!damage.empty())
        std::printf("  %s damaged (put in quarantine at the next delivery): %s\n", id.c_str(),
                    damage.c_str());
      continue;
    }
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
    std::vector<std::string> delivered;
    for (const auto& accepted : e->state.accepted) delivered.push_back(accepted.first);
    if (!delivered.empty()) std::printf("    delivered to %s\n", Join(delivered).c_str());
  }
  auto quarantine = spool.Quarantine();
  std::printf("quarantined: %zu\n", quarantine.size());
  for (const auto& q : quarantine) std::printf("  %s %s\n", q.id.c_str(), q.reason.c_str());
  auto reports = velnet::WaitingReports(spool);
  std::printf("reports: %zu\n", reports.size());
  for (const velnet::WaitingReport& r : reports) {
    std::printf("  %s user=%s attempts=%u", r.id.c_str(), r.user.c_str(), r.state.attempts);
    if (r.state.attempts > 0)
      std::printf(" next=%s error=%s", Stamp(r.state.next_attempt).c_str(),
                  r.state.last_reply.c_str());
    std::printf("\n");
  }
  auto sent = spool.SentLog();
  std::printf("sent: %zu\n", sent.size());
  for (size_t i = sent.size() > kSentShown ? sent.size() - kSentShown : 0; i < sent.size(); ++i)
    std::printf("  %s\n", sent[i].c_str());
  return 0;
}
