// xp_sendmail of a large query result, laid out as text and written to the
// results file, against the database's own command-line tool printing the
// same table in columns to a file, in the same run. With a maildir provider
// built, also the whole send of that result as an attachment into a
// mailbox.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "hosts/runtime/velsrv_host.h"
#include "platform.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRows = 1000000;
constexpr int kBigRows = 4000000;

std::string LibDir() {
  const char* dir = std::getenv("VEL_LIB_DIR");
  return dir != nullptr ? dir : VEL_BUILD_LIB_DIR;
}

// Fills db (when it does not exist yet) with rows rows of four columns.
void MakeDatabase(const fs::path& db, int rows) {
  {
    if (!fs::exists(db)) {
      sqlite3* handle = nullptr;
      sqlite3_open(db.c_str(), &handle);
      sqlite3_exec(handle,
                   "create table t(id integer, name varchar(20), price real, code char(8));"
                   "begin;",
                   nullptr, nullptr, nullptr);
      sqlite3_stmt* insert = nullptr;
      sqlite3_prepare_v2(handle, "insert into t values(?,?,?,?)", -1, &insert, nullptr);
      std::mt19937 random(42);
      for (int i = 0; i < rows; ++i) {
        sqlite3_bind_int(insert, 1, i);
        std::string name = "item-";
        name += std::to_string(random() % 100000);
        sqlite3_bind_text(insert, 2, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_double(insert, 3, (random() % 100000) / 100.0);
        std::string code = "C";
        code += std::to_string(random() % 1000000);
        sqlite3_bind_text(insert, 4, code.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(insert);
        sqlite3_reset(insert);
      }
      sqlite3_finalize(insert);
      sqlite3_exec(handle, "commit;", nullptr, nullptr, nullptr);
      sqlite3_close(handle);
    }
  }
}

// A directory with a database of kRows rows of four columns (big.db) and
// one of kBigRows rows (big4m.db), made once.
const fs::path& Data() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / "velmail-send-bench";
    fs::create_directories(d);
    MakeDatabase(d / "big.db", kRows);
    std::ofstream(d / "interfaces") << "VELSERVER sqlite big.db\nBIGSERVER sqlite big4m.db\n";
    return d;
  }();
  return dir;
}

// A host with the library loaded on the given provider, logged on.
struct LoadedHost {
  explicit LoadedHost(const std::string& provider, const char* server = "VELSERVER") {
    const fs::path& d = Data();
    std::ofstream(d / "win.ini") << "[Mail]\nCMCDLLNAME32=" << provider << "\n";
    vel::os::SetEnvironmentVariable("WINDIR", d.c_str());
    velsrv::HostOptions options;
    options.library = LibDir() + "/libvelmail.so";
    options.message_library = LibDir() + "/libvelmsgs.so";
    options.interfaces_file = (d / "interfaces").string();
    options.server_name = server;
    host = std::make_unique<velsrv::Host>(options);
    client = &host->NewClient();
    velsrv::CallResult r =
        client->Call("xp_startmail", {velsrv::RpcParam::Text("@mail_user", "ops"),
                                      velsrv::RpcParam::Text("@mail_password", "ops")});
    ok = r.returned == 1;
  }
  std::unique_ptr<velsrv::Host> host;
  velsrv::Client* client = nullptr;
  bool ok = false;
};

// A mail root at root with the account "ops", made the maildir provider's
// (VELCMC_ROOT), and the host's current directory set for results files.
// The provider's path, or empty (the benchmark skipped) when it cannot be.
std::string MaildirWithAccount(benchmark::State& state, const fs::path& root) {
  const std::string provider = LibDir() + "/libvelcmc.so";
  if (!fs::exists(provider) || !fs::exists(LibDir() + "/../bin/velcmc-passwd")) {
    state.SkipWithError("the maildir provider is not built");
    return {};
  }
  fs::create_directories(root);
  const std::string add =
      "echo ops | " + LibDir() + "/../bin/velcmc-passwd " + root.string() + " ops > /dev/null";
  if (std::system(add.c_str()) != 0) {
    state.SkipWithError("cannot create the mail account");
    return {};
  }
  vel::os::SetEnvironmentVariable("VELCMC_ROOT", root.c_str());
  fs::current_path(Data());
  return provider;
}

// A line of /proc/self/status in kB ("VmHWM:", "VmRSS:"), 0 when absent.
int64_t StatusKb(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size(), field) == 0) return std::atoll(line.c_str() + field.size());
  }
  return 0;
}

// 4 million rows attached into a mailbox: the process's peak resident
// memory during the send, above what it held before, against the size of
// the laid-out text (the results file) in the same run. Registered first:
// memory that earlier benchmarks freed stays with the process's heap and
// would be reused unseen, hiding part of the peak.
void BM_SendBigQueryAttachedIntoMaildir(benchmark::State& state) {
  const fs::path root = Data() / "mail4m";
  const std::string provider = MaildirWithAccount(state, root);
  if (provider.empty()) return;
  MakeDatabase(Data() / "big4m.db", kBigRows);
  LoadedHost h(provider, "BIGSERVER");
  if (!h.ok) {
    state.SkipWithError("cannot log on to the maildir provider");
    return;
  }
  std::vector<double> peaks;
  for (auto _ : state) {
    state.PauseTiming();
    std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak to what is resident
    const int64_t before = StatusKb("VmRSS:");
    state.ResumeTiming();
    velsrv::CallResult r =
        h.client->Call("xp_sendmail", {velsrv::RpcParam::Text("@recipient", "ops"),
                                       velsrv::RpcParam::Text("@query", "select * from t"),
                                       velsrv::RpcParam::Text("@attach_result", "true"),
                                       velsrv::RpcParam::Text("@attachname", "mailed4m.txt")});
    state.PauseTiming();
    if (r.returned != 1) {
      state.SkipWithError("xp_sendmail failed");
      return;
    }
    peaks.push_back(static_cast<double>(StatusKb("VmHWM:") - before) * 1024);
    fs::remove_all(root / "ops" / "new");
    fs::create_directory(root / "ops" / "new");
    state.ResumeTiming();
  }
  std::sort(peaks.begin(), peaks.end());
  const double text = static_cast<double>(fs::file_size(Data() / "mailed4m.txt"));
  state.counters["text_MB"] = text / 1e6;
  state.counters["peak_MB_min"] = peaks.front() / 1e6;
  state.counters["peak_MB_median"] = peaks[peaks.size() / 2] / 1e6;
  state.counters["peak_per_text_min"] = peaks.front() / text;
  state.counters["peak_per_text_median"] = peaks[peaks.size() / 2] / text;
  fs::remove_all(root);
}
BENCHMARK(BM_SendBigQueryAttachedIntoMaildir)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

void BM_SendQueryAsResultsFile(benchmark::State& state) {
  LoadedHost h(LibDir() + "/libvelbenchcmc.so");
  if (!h.ok) {
    state.SkipWithError("cannot log on through the no-op provider");
    return;
  }
  // Results files are written below the host's current directory.
  fs::current_path(Data());
  const fs::path out = Data() / "results.txt";
  int64_t peak = 0;
  for (auto _ : state) {
    h.host->ResetPeak();
    velsrv::CallResult r =
        h.client->Call("xp_sendmail", {velsrv::RpcParam::Text("@recipient", "ops"),
                                       velsrv::RpcParam::Text("@query", "select * from t"),
                                       velsrv::RpcParam::Text("@attach_result", "true"),
                                       velsrv::RpcParam::Text("@attachname", "results.txt")});
    if (r.returned != 1) {
      state.SkipWithError("xp_sendmail failed");
      return;
    }
    peak = std::max(peak, h.host->peak_block_bytes());
  }
  const double text = static_cast<double>(fs::file_size(out));
  state.counters["text_MB"] = text / 1e6;
  state.counters["peak_MB"] = static_cast<double>(peak) / 1e6;
  state.counters["peak_per_text"] = static_cast<double>(peak) / text;
}
BENCHMARK(BM_SendQueryAsResultsFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_CommandLineColumnOutput(benchmark::State& state) {
  const fs::path db = Data() / "big.db";
  const std::string command =
      "sqlite3 -column " + db.string() + " 'select * from t' > " + (Data() / "cli.txt").string();
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("sqlite3 command-line tool not available");
      return;
    }
  }
  state.counters["text_MB"] = static_cast<double>(fs::file_size(Data() / "cli.txt")) / 1e6;
}
BENCHMARK(BM_CommandLineColumnOutput)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The whole send into a maildir, when the maildir provider is built.
void BM_SendQueryAttachedIntoMaildir(benchmark::State& state) {
  const fs::path root = Data() / "mail";
  const std::string provider = MaildirWithAccount(state, root);
  if (provider.empty()) return;
  LoadedHost h(provider);
  if (!h.ok) {
    state.SkipWithError("cannot log on to the maildir provider");
    return;
  }
  for (auto _ : state) {
    velsrv::CallResult r =
        h.client->Call("xp_sendmail", {velsrv::RpcParam::Text("@recipient", "ops"),
                                       velsrv::RpcParam::Text("@query", "select * from t"),
                                       velsrv::RpcParam::Text("@attach_result", "true"),
                                       velsrv::RpcParam::Text("@attachname", "mailed.txt")});
    if (r.returned != 1) {
      state.SkipWithError("xp_sendmail failed");
      return;
    }
  }
  fs::remove_all(root / "ops");
}
BENCHMARK(BM_SendQueryAttachedIntoMaildir)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
