// The maildir provider's costs: listing a 10,000-message mailbox once its
// summaries are cached, against a bare scan of the same directories, and
// sending a 1 MB attachment to 10 mailboxes (every copy flushed to disk).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cmc.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

constexpr int kMessages = 10000;
constexpr int kMailboxes = 10;

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
    FillBigMailbox();
    vel::os::SetEnvironmentVariable("VELCMC_ROOT", root.c_str());
    vel::os::Module module =
        vel::os::LoadModule((std::string(VEL_BUILD_LIB_DIR) + "/libvelcmc.so").c_str());
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

void BM_Send1MBTo10Mailboxes(benchmark::State& state) {
  Fixture& f = Fixture::Get();
  std::vector<std::string> names;
  for (int i = 0; i < kMailboxes; ++i) names.push_back("box" + std::to_string(i));
  std::vector<CMC_recipient> recipients(kMailboxes);
  for (int i = 0; i < kMailboxes; ++i)
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
BENCHMARK(BM_Send1MBTo10Mailboxes)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
