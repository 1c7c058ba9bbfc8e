// velnet-flush: delivers what is spooled now, retry times notwithstanding,
// for cron or by hand, and then appends the non-delivery reports waiting
// for USER. Usage: velnet-flush USER < password-file
// The configuration is the one VELNET_CONFIG names; the password is the
// first line of standard input and is only ever given to the servers.
// Exit status 0 when nothing of USER's is left queued or waiting and
// nothing went wrong; 1, with a line on standard error saying why, when
// the servers refused the login, mail stays queued, mail failed for good,
// a damaged spool file was put in quarantine, a record could not be
// written, or a report to USER could not be appended (it waits) or
// expired; 2 on a usage or configuration error.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <thread>

#include "file_system.h"
#include "net/netlog.h"
#include "net/outbox.h"
#include "net/report.h"
#include "net/spool.h"
#include "velmail_version.h"

namespace {

constexpr char kUsage[] =
    "usage: velnet-flush USER < password-file\n"
    "Delivers USER's mail queued in the network provider's spool now, retry times\n"
    "notwithstanding, and appends the non-delivery reports waiting for USER. The\n"
    "configuration is the file VELNET_CONFIG names; the password is the first line\n"
    "of standard input.\n"
    "\n"
    "  --version   print the version and stop\n"
    "  -h, --help  this text\n";

}  // namespace

namespace {

// The user's messages still queued once this run is done. One that another
// deliverer has in hand (its file locked) is that deliverer's to finish:
// waited for, up to transfer_timeout, and counted only if it is still
// queued then.
size_t StillQueued(const velnet::Config& config, const std::string& user) {
  const velnet::Spool spool(config.spool);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(config.transfer_timeout);
  for (;;) {
    size_t left = 0, in_hand = 0;
    for (const std::string& id : spool.Queued()) {
      auto entry = spool.Load(id);
      if (!entry || velnet::UserKey(entry->envelope.user) != velnet::UserKey(user)) continue;
      const int fd = spool.OpenLocked(id);
      if (fd >= 0) {
        vel::os::Files().CloseFile(fd);
        ++left;
      } else if (spool.Load(id)) {
        ++in_hand;
      }
    }
    if (in_hand == 0 || std::chrono::steady_clock::now() >= deadline) return left + in_hand;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("velnet-flush %s\n", VELMAIL_VERSION);
    return 0;
  }
  if (argc != 2 || argv[1][0] == '-') {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string error;
  auto config = velnet::LoadConfigFromEnvironment(&error);
  if (!config) {
    std::fprintf(stderr, "velnet-flush: %s\n", error.c_str());
    return 2;
  }
  if (!velnet::Spool(config->spool).Prepare(&error)) {
    std::fprintf(stderr, "velnet-flush: %s\n", error.c_str());
    return 2;
  }
  std::string password;
  std::getline(std::cin, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  const std::string user = argv[1];
  velnet::Log(config->log, "velnet-flush for " + user);
  const velnet::PassReport report = velnet::DeliverPass(*config, {{user, password}}, true);
  const velnet::ReportRound reports = velnet::DeliverReports(*config, {{user, password}}, true);
  const size_t left = StillQueued(*config, user);
  std::printf("%zu message(s) of %s still queued\n", left, user.c_str());
  std::printf("%zu report(s) to %s appended, %zu waiting\n", reports.appended, user.c_str(),
              reports.waiting);

  std::string why;
  if (auto refused = report.login_refused.find(user); refused != report.login_refused.end())
    why = refused->second;
  else if (report.failed > 0)
    why = std::to_string(report.failed) + " message(s) failed for good (see velnet-status)";
  else if (report.quarantined > 0)
    why = std::to_string(report.quarantined) +
          " damaged spool file(s) put in quarantine (see velnet-status)";
  else if (report.unsaved > 0)
    why = "the spool could not be written (see the log)";
  else if (left > 0)
    why = std::to_string(left) + " message(s) still queued" +
          (report.last_deferral.empty() ? "" : ": " + report.last_deferral);
  else if (reports.waiting > 0)
    why = std::to_string(reports.waiting) + " report(s) to " + user +
          " not appended yet (see velnet-status): " + reports.last_error;
  else if (reports.expired > 0)
    why = std::to_string(reports.expired) + " report(s) to " + user +
          " expired without being appended: " + reports.last_error;
  if (why.empty()) return 0;
  velnet::Log(config->log, "velnet-flush for " + user + ": " + why);
  std::fprintf(stderr, "velnet-flush: %s\n", why.c_str());
  return 1;
}
