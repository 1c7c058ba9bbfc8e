// The maildir provider's costs, each against its anchor in the same run:
// - listing a 10,000-message mailbox once its summaries are cached, against
//   a bare scan of the same directories;
// - sending a 1 MB attachment to 10 and to 100 mailboxes, against writing
//   the file 100 times with each copy and its directory flushed to disk;
// - small messages sent by eight senders at once, against one sender:
//   through the library (eight clients of one host, one mail session), and
//   straight into the provider (eight threads, a session each).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cmc.h"
#include "hosts/runtime/velsrv_host.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

std::string LibDir() {
  const char* dir = std::getenv("VEL_LIB_DIR");
  return dir != nullptr ? dir : VEL_BUILD_LIB_DIR;
}

constexpr int kMessages = 10000;
constexpr int kMailboxes = 10;
constexpr int kManyMailboxes = 100;
// Small messages per round of the senders' benchmarks, whatever the number
// of senders.
constexpr int kSmallMessages = 48;

struct Provider {
  CMC_logon_fn logon;
  CMC_logoff_fn logoff;
  CMC_free_fn free;
  CMC_send_fn send;
  CMC_list_fn list;
};

// One mail root for the whole run: a mailbox "big" with kMessages messages
// (a tenth of them already read) and kMailboxes empty ones.
class Fixture {
 public:
  static Fixture& Get() {
    static Fixture fixture;
    return fixture;
  }
  ~Fixture() {
    std::error_code ec;
    fs::remove_all(base_, ec);
  }

  Provider cmc{};
  fs::path base_, root;
  CMC_session_id session = 0;
  std::string attachment;

 private:
  Fixture() {
    base_ = fs::temp_directory_path() / ("velcmc-bench-" + std::to_string(vel::os::ProcessId()));
    root = base_ / "mail";
    fs::create_directories(root);
    AddAccount("big");
    for (int i = 0; i < kMailboxes; ++i) AddAccount("box" + std::to_string(i));
    // Mailboxes without an account receive all the same.
    for (int i = kMailboxes; i < kManyMailboxes; ++i)
      for (const char* dir : {"tmp", "new", "cur"})
        fs::create_directories(root / ("box" + std::to_string(i)) / dir);
    FillBigMailbox();
    vel::os::SetEnvironmentVariable("VELCMC_ROOT", root.c_str());
    vel::os::Module module = vel::os::LoadModule((LibDir() + "/libvelcmc.so").c_str());
    if (!module) std::abort();
    cmc.logon = reinterpret_cast<CMC_logon_fn>(vel::os::ModuleSymbol(module, "cmc_logon"));
    cmc.logoff = reinterpret_cast<CMC_logoff_fn>(vel::os::ModuleSymbol(module, "cmc_logoff"));
    cmc.free = reinterpret_cast<CMC_free_fn>(vel::os::ModuleSymbol(module, "cmc_free"));
    cmc.send = reinterpret_cast<CMC_send_fn>(vel::os::ModuleSymbol(module, "cmc_send"));
    cmc.list = reinterpret_cast<CMC_list_fn>(vel::os::ModuleSymbol(module, "cmc_list"));
    if (cmc.logon(nullptr, const_cast<char*>("big"), const_cast<char*>("pw"), nullptr, 0, 100, 0,
                  &session, nullptr) != CMC_SUCCESS)
      std::abort();
    std::mt19937 random(1);
    attachment.resize(1 << 20);
    for (char& c : attachment) c = static_cast<char>(random());
    std::ofstream(base_ / "attachment.bin", std::ios::binary)
        .write(attachment.data(), static_cast<std::streamsize>(attachment.size()));
  }

  void AddAccount(const std::string& name) {
    std::string command =
        "printf 'pw\\n' | '" VELCMC_PASSWD_TOOL "' '" + root.string() + "' " + name;
    if (std::system(command.c_str()) != 0) std::abort();
  }

  // Written as a transfer agent would deliver them (a plain write is
  // enough to set the benchmark up).
  void FillBigMailbox() {
    for (int i = 0; i < kMessages; ++i) {
      std::string unique = std::to_string(1700000000 + i) + ".M" + std::to_string(i) + "P1.bench";
      bool read = i % 10 == 0;
      fs::path path = root / "big" / (read ? "cur" : "new") / (read ? unique + ":2,S" : unique);
      std::ofstream out(path, std::ios::binary);
      out << "From: Sender " << i % 37 << " <sender" << i % 37 << "@example.org>\n"
          << "To: big@example.org\nSubject: Report number " << i << "\n"
          << "Date: Tue, 14 Nov 2023 22:13:20 +0000\nMessage-ID: <" << i << "@example.org>\n"
          << "MIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n\n"
          << std::string(400, 'b') << "\n";
    }
  }
};

void BM_DirectoryScan(benchmark::State& state) {
  Fixture& f = Fixture::Get();
  for (auto _ : state) {
    std::vector<std::string> names;
    for (const char* dir : {"new", "cur"})
      for (const auto& entry : fs::directory_iterator(f.root / "big" / dir))
        names.push_back(entry.path().filename().string());
    if (names.size() != kMessages) state.SkipWithError("wrong count");
    benchmark::DoNotOptimize(names.data());
  }
}
BENCHMARK(BM_DirectoryScan)->Unit(benchmark::kMillisecond);

void BM_ListWarm(benchmark::State& state) {
  Fixture& f = Fixture::Get();
  auto list = [&] {
    CMC_uint32 count = 0;
    CMC_message_summary* summaries = nullptr;
    if (f.cmc.list(f.session, nullptr, 0, nullptr, &count, 0, &summaries, nullptr) != CMC_SUCCESS ||
        count != kMessages)
      state.SkipWithError("list failed");
    f.cmc.free(summaries);
  };
  list();  // the first listing parses every message; the rest find them cached
  for (auto _ : state) list();
}
BENCHMARK(BM_ListWarm)->Unit(benchmark::kMillisecond);

// Sends the 1 MB attachment to the first state.range(0) mailboxes.
void BM_Send1MBToMailboxes(benchmark::State& state) {
  Fixture& f = Fixture::Get();
  const int mailboxes = static_cast<int>(state.range(0));
  std::vector<std::string> names;
  for (int i = 0; i < mailboxes; ++i) names.push_back("box" + std::to_string(i));
  std::vector<CMC_recipient> recipients(mailboxes);
  for (int i = 0; i < mailboxes; ++i)
    recipients[i] = {names[i].data(), CMC_TYPE_INDIVIDUAL, nullptr, CMC_ROLE_TO, 0, nullptr};
  recipients.back().recip_flags = CMC_RECIP_LAST_ELEMENT;
  std::string file = (f.base_ / "attachment.bin").string();
  CMC_attachment attachment{const_cast<char*>("attachment.bin"), nullptr, file.data(),
                            CMC_ATT_APP_OWNS_FILE | CMC_ATT_LAST_ELEMENT, nullptr};
  CMC_message message{};
  message.message_type = const_cast<char*>("CMC: IPM");
  message.subject = const_cast<char*>("one megabyte");
  message.text_note = const_cast<char*>("see attachment");
  message.recipients = recipients.data();
  message.attachments = &attachment;
  for (auto _ : state) {
    if (f.cmc.send(f.session, &message, 0, 0, nullptr) != CMC_SUCCESS)
      state.SkipWithError("send failed");
    state.PauseTiming();
    for (const std::string& name : names)
      for (const auto& entry : fs::directory_iterator(f.root / name / "new"))
        fs::remove(entry.path());
    state.ResumeTiming();
  }
}
BENCHMARK(BM_Send1MBToMailboxes)
    ->Arg(kMailboxes)
    ->Arg(kManyMailboxes)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(10);

// The anchor of the send to 100 mailboxes: the same megabyte written 100
// times, each copy flushed to disk and then its directory, one after the
// other (what writing every copy in full costs).
void BM_Write1MB100TimesFlushed(benchmark::State& state) {
  Fixture& f = Fixture::Get();
  std::vector<fs::path> dirs;
  for (int i = 0; i < kManyMailboxes; ++i)
    dirs.push_back(f.root / ("box" + std::to_string(i)) / "new");
  for (auto _ : state) {
    for (const fs::path& dir : dirs) {
      const fs::path path = dir / "copy";
      int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      bool ok = fd >= 0 &&
                write(fd, f.attachment.data(), f.attachment.size()) ==
                    static_cast<ssize_t>(f.attachment.size()) &&
                fsync(fd) == 0;
      if (fd >= 0) close(fd);
      int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ok = ok && dir_fd >= 0 && fsync(dir_fd) == 0;
      if (dir_fd >= 0) close(dir_fd);
      if (!ok) state.SkipWithError("write failed");
    }
    state.PauseTiming();
    for (const fs::path& dir : dirs) fs::remove(dir / "copy");
    state.ResumeTiming();
  }
}
BENCHMARK(BM_Write1MB100TimesFlushed)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

// Empties the mailbox the small messages go to.
void ClearSmallMessages(const Fixture& f) {
  for (const auto& entry : fs::directory_iterator(f.root / "box0" / "new"))
    fs::remove(entry.path());
}

// kSmallMessages small messages to one mailbox, sent by state.range(0)
// threads at once, each logged on to the provider with a session of its
// own.
void BM_SmallMessagesIntoTheProvider(benchmark::State& state) {
  Fixture& f = Fixture::Get();
  const int senders = static_cast<int>(state.range(0));
  std::vector<CMC_session_id> sessions(senders);
  for (CMC_session_id& id : sessions)
    if (f.cmc.logon(nullptr, const_cast<char*>("box1"), const_cast<char*>("pw"), nullptr, 0, 100, 0,
                    &id, nullptr) != CMC_SUCCESS)
      state.SkipWithError("cannot log on");
  CMC_recipient to{const_cast<char*>("box0"),
                   CMC_TYPE_INDIVIDUAL,
                   nullptr,
                   CMC_ROLE_TO,
                   CMC_RECIP_LAST_ELEMENT,
                   nullptr};
  CMC_message message{};
  message.message_type = const_cast<char*>("CMC: IPM");
  message.subject = const_cast<char*>("disk report");
  message.text_note = const_cast<char*>("disk C: 81% full\n");
  message.recipients = &to;
  std::atomic<int> failures{0};
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (int t = 0; t < senders; ++t)
      threads.emplace_back([&, t] {
        for (int i = t; i < kSmallMessages; i += senders)
          if (f.cmc.send(sessions[t], &message, 0, 0, nullptr) != CMC_SUCCESS) ++failures;
      });
    for (std::thread& thread : threads) thread.join();
    state.PauseTiming();
    ClearSmallMessages(f);
    state.ResumeTiming();
  }
  if (failures > 0) state.SkipWithError("a send failed");
  for (CMC_session_id id : sessions) f.cmc.logoff(id, 0, 0, nullptr);
  state.SetItemsProcessed(state.iterations() * kSmallMessages);
}
BENCHMARK(BM_SmallMessagesIntoTheProvider)
    ->Arg(1)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

// One host with the library loaded on the maildir provider and logged on
// as box1, for the whole run.
velsrv::Host& LibraryHost() {
  static std::unique_ptr<velsrv::Host> host = [] {
    Fixture& f = Fixture::Get();
    std::ofstream(f.base_ / "win.ini") << "[Mail]\nCMCDLLNAME32=" << LibDir() << "/libvelcmc.so\n";
    vel::os::SetEnvironmentVariable("WINDIR", f.base_.c_str());
    velsrv::HostOptions options;
    options.library = LibDir() + "/libvelmail.so";
    options.message_library = LibDir() + "/libvelmsgs.so";
    auto made = std::make_unique<velsrv::Host>(options);
    velsrv::CallResult r =
        made->NewClient().Call("xp_startmail", {velsrv::RpcParam::Text("@mail_user", "box1"),
                                                velsrv::RpcParam::Text("@mail_password", "pw")});
    if (r.returned != 1) std::abort();
    return made;
  }();
  return *host;
}

// kSmallMessages small messages to one mailbox through xp_sendmail, from
// state.range(0) clients of the host at once (rounds of one call each).
void BM_SmallMessagesThroughTheLibrary(benchmark::State& state) {
  Fixture& f = Fixture::Get();
  velsrv::Host& host = LibraryHost();
  static std::vector<velsrv::Client*> clients;
  const int senders = static_cast<int>(state.range(0));
  while (static_cast<int>(clients.size()) < senders) clients.push_back(&host.NewClient());
  const std::vector<velsrv::RpcParam> params = {
      velsrv::RpcParam::Text("@recipient", "box0"),
      velsrv::RpcParam::Text("@subject", "disk report"),
      velsrv::RpcParam::Text("@message", "disk C: 81% full")};
  int failures = 0;
  for (auto _ : state) {
    for (int sent = 0; sent < kSmallMessages; sent += senders) {
      for (int c = 0; c < senders; ++c) clients[c]->Start("xp_sendmail", params);
      for (int c = 0; c < senders; ++c)
        if (clients[c]->Wait().returned != 1) ++failures;
    }
    state.PauseTiming();
    ClearSmallMessages(f);
    state.ResumeTiming();
  }
  if (failures > 0) state.SkipWithError("xp_sendmail failed");
  state.SetItemsProcessed(state.iterations() * kSmallMessages);
}
BENCHMARK(BM_SmallMessagesThroughTheLibrary)
    ->Arg(1)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
