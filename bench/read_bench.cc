// Walking an inbox with xp_findnextmsg + xp_readmail (each find lists the
// whole inbox again), against the same walk made directly through the
// provider's cmc_list and cmc_read, in the same run, on the maildir
// provider. The walk of 300 messages is the anchor of the longer ones: a
// walk whose cost grows linearly costs ten times as much for ten times
// the messages. The walks peek, except the marking ones, which read each
// message as unread mail is read by default (each read moves it to cur).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "cmc.h"
#include "hosts/runtime/velsrv_host.h"
#include "platform.h"

namespace {

namespace fs = std::filesystem;

std::string LibDir() {
  const char* dir = std::getenv("VEL_LIB_DIR");
  return dir != nullptr ? dir : VEL_BUILD_LIB_DIR;
}

// A mail root whose account "ops" holds count delivered messages.
fs::path Inbox(int count) {
  const fs::path root = fs::temp_directory_path() / ("velmail-read-bench-" + std::to_string(count));
  const fs::path newdir = root / "ops" / "new";
  if (!fs::exists(root / "passwd")) {
    fs::create_directories(root);
    const std::string add =
        "echo secret | " + LibDir() + "/../bin/velcmc-passwd " + root.string() + " ops > /dev/null";
    if (std::system(add.c_str()) != 0) return {};
    fs::create_directories(newdir);
    for (int i = 0; i < count; ++i) {
      char name[64];
      snprintf(name, sizeof(name), "%d.M%dP1.bench", 1700000000 + i, i);
      std::ofstream(newdir / name) << "From: batch@example.com\r\nTo: ops@example.com\r\n"
                                      "Subject: report "
                                   << i
                                   << "\r\nDate: Mon, 07 Dec 2026 09:05:07 +0000\r\n\r\n"
                                      "Body of message "
                                   << i << ".\r\n";
    }
  }
  return root;
}

// The inbox of state.range(0) messages, made the provider's mail root;
// empty (and the benchmark skipped) when it cannot be made.
fs::path UseInbox(benchmark::State& state) {
  const fs::path root = Inbox(static_cast<int>(state.range(0)));
  if (root.empty()) {
    state.SkipWithError("velcmc-passwd is not built");
    return root;
  }
  vel::os::SetEnvironmentVariable("VELCMC_ROOT", root.c_str());
  return root;
}

// Puts every message of the inbox back into new, unread.
void MarkAllUnread(const fs::path& root) {
  const fs::path cur = root / "ops" / "cur";
  for (const auto& entry : fs::directory_iterator(cur)) {
    const std::string name = entry.path().filename().string();
    fs::rename(entry.path(), root / "ops" / "new" / name.substr(0, name.find(':')));
  }
}

// The walk through the library; with state.range(1) set, each message is
// read without peeking, so that it is marked read (moved to cur) as it
// goes.
void BM_WalkThroughTheLibrary(benchmark::State& state) {
  const fs::path root = UseInbox(state);
  if (root.empty()) return;
  const bool mark = state.range(1) != 0;
  MarkAllUnread(root);
  std::ofstream(root / "win.ini") << "[Mail]\nCMCDLLNAME32=" << LibDir() << "/libvelcmc.so\n";
  vel::os::SetEnvironmentVariable("WINDIR", root.c_str());
  velsrv::HostOptions options;
  options.library = LibDir() + "/libvelmail.so";
  options.message_library = LibDir() + "/libvelmsgs.so";
  velsrv::Host host(options);
  velsrv::Client& client = host.NewClient();
  if (client
          .Call("xp_startmail", {velsrv::RpcParam::Text("@mail_user", "ops"),
                                 velsrv::RpcParam::Text("@mail_password", "secret")})
          .returned != 1) {
    state.SkipWithError("cannot log on");
    return;
  }
  int64_t read = 0;
  for (auto _ : state) {
    std::string id;
    for (;;) {
      velsrv::CallResult found = client.Call(
          "xp_findnextmsg", {velsrv::RpcParam::Output("@msg_id", VEL_BINARY_TYPE, 256, id),
                             velsrv::RpcParam::Text("@unread_only", "false")});
      if (found.returned != 1) break;
      id = found.output("@msg_id")->value;
      velsrv::CallResult message =
          client.Call("xp_readmail", {velsrv::RpcParam::Binary("@msg_id", id),
                                      velsrv::RpcParam::Text("@peek", mark ? "false" : "true"),
                                      velsrv::RpcParam::Output("@subject", VEL_CHAR_TYPE, 255),
                                      velsrv::RpcParam::Output("@message", VEL_CHAR_TYPE, 255)});
      if (message.returned != 1) break;
      ++read;
    }
  }
  state.counters["messages"] = static_cast<double>(read) / state.iterations();
}

void BM_WalkDirectlyThroughTheProvider(benchmark::State& state) {
  const fs::path root = UseInbox(state);
  if (root.empty()) return;
  vel::os::Module provider = vel::os::LoadModule((LibDir() + "/libvelcmc.so").c_str());
  auto logon = reinterpret_cast<CMC_logon_fn>(vel::os::ModuleSymbol(provider, "cmc_logon"));
  auto logoff = reinterpret_cast<CMC_logoff_fn>(vel::os::ModuleSymbol(provider, "cmc_logoff"));
  auto list = reinterpret_cast<CMC_list_fn>(vel::os::ModuleSymbol(provider, "cmc_list"));
  auto read_fn = reinterpret_cast<CMC_read_fn>(vel::os::ModuleSymbol(provider, "cmc_read"));
  auto free_fn = reinterpret_cast<CMC_free_fn>(vel::os::ModuleSymbol(provider, "cmc_free"));
  CMC_session_id session = 0;
  char user[] = "ops", password[] = "secret";
  if (logon == nullptr || logon(nullptr, user, password, nullptr, 0, 100, 0, &session, nullptr)) {
    state.SkipWithError("cannot log on");
    return;
  }
  char type[] = "CMC: IPM";
  int64_t read = 0;
  for (auto _ : state) {
    std::string id;
    for (;;) {
      // As the procedures do: the whole list, the message after the last.
      CMC_uint32 n = 0;
      CMC_message_summary* summaries = nullptr;
      if (list(session, type, 0, nullptr, &n, 0, &summaries, nullptr) != 0) break;
      CMC_uint32 next = 0;
      if (!id.empty()) {
        while (next < n &&
               !(summaries[next].message_reference->length == id.size() &&
                 memcmp(summaries[next].message_reference->string, id.data(), id.size()) == 0)) {
          ++next;
        }
        ++next;
      }
      if (next >= n) {
        free_fn(summaries);
        break;
      }
      CMC_message_reference* reference = summaries[next].message_reference;
      id.assign(reference->string, reference->length);
      CMC_message* message = nullptr;
      const bool ok = read_fn(session, reference, 1, &message, 0, nullptr) == 0;
      if (message != nullptr) free_fn(message);
      free_fn(summaries);
      if (!ok) break;
      ++read;
    }
  }
  state.counters["messages"] = static_cast<double>(read) / state.iterations();
  logoff(session, 0, 0, nullptr);
  vel::os::FreeModule(provider);
}

BENCHMARK(BM_WalkThroughTheLibrary)
    ->ArgNames({"messages", "marking"})
    ->Args({300, 0})
    ->Args({1000, 0})
    ->Args({3000, 0})
    ->Args({10000, 0})
    ->Args({300, 1})
    ->Args({3000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(BM_WalkDirectlyThroughTheProvider)
    ->Arg(300)
    ->Arg(1000)
    ->Arg(3000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
