// velnet-flush: delivers what is spooled now, retry times notwithstanding,
// for cron or by hand. Usage: velnet-flush USER < password-file
// The configuration is the one VELNET_CONFIG names; the password is the
// first line of standard input and is only ever given to the servers.
// Exit status 0 when nothing of USER's is left queued, 1 when some is,
// 2 on a usage or configuration error.
#include <cstdio>
#include <iostream>
#include <map>
#include <string>

#include "netlog.h"
#include "outbox.h"
#include "spool.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s USER < password-file\n", argv[0]);
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
  velnet::DeliverPass(*config, {{user, password}}, true);
  velnet::Spool spool(config->spool);
  size_t left = 0;
  for (const std::string& id : spool.Queued()) {
    auto entry = spool.Load(id);
    if (entry && entry->envelope.user == user) ++left;
  }
  std::printf("%zu message(s) of %s still queued\n", left, user.c_str());
  return left == 0 ? 0 : 1;
}
