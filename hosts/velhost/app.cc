#include "app.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "client_pool.h"
#include "data_directory.h"
#include "demo.h"
#include "host_log_file.h"
#include "line_source.h"
#include "options.h"
#include "platform.h"
#include "profile_password.h"
#include "progress_line.h"
#include "script_runner.h"
#include "terminal.h"
#include "velct_control.h"
#include "velhost_session.h"
#include "velmail_version.h"
#include "velsrv_host.h"

namespace velhost {
namespace fs = std::filesystem;
namespace {

// Rows the queries of this process have fetched, counted in steps as the
// client library reports them.
constexpr int64_t kProgressStep = 1000;
std::atomic<int64_t> g_rows_fetched{0};
void CountFetchedRows(int64_t) { g_rows_fetched += kProgressStep; }

constexpr int kExitOk = 0;
constexpr int kExitStatementsFailed = 1;
constexpr int kExitCannotStart = 2;

// Where the modules are: --lib-dir, else VEL_LIB_DIR, else where an
// installation puts them relative to this program (VELHOST_INSTALLED_LIB_DIR,
// so that an installed tree works wherever it was installed or moved), else
// the build's lib directory (a program run from the build tree).
std::string LibraryDirectory(const Options& options) {
  if (!options.lib_dir.empty()) return fs::absolute(options.lib_dir).string();
  if (const char* dir = std::getenv("VEL_LIB_DIR")) return fs::absolute(dir).string();
  std::error_code ec;
  const fs::path program = vel::os::ProgramPath();
  if (!program.empty()) {
    const fs::path installed =
        (program.parent_path() / VELHOST_INSTALLED_LIB_DIR).lexically_normal();
    if (fs::exists(installed / "libvelmail.so", ec)) return installed.string();
  }
  return VELHOST_BUILD_LIB_DIR;
}

std::optional<std::string> ReadScript(const std::string& path) {
  std::ostringstream text;
  if (path == "-") {
    text << std::cin.rdbuf();
    return text.str();
  }
  std::ifstream in(path);
  if (!in) return std::nullopt;
  text << in.rdbuf();
  return text.str();
}

int Fail(const std::string& message) {
  std::cerr << "velhost: " << message << "\n";
  return kExitCannotStart;
}

// Logs on with the host's mail profile; the library reports a failed
// logon only to the host log, so the routed messages tell.
bool HandOverProfile(velsrv::Host& host, velsrv::Client& client, const Options& options) {
  std::optional<std::string> encoded = EncodeProfilePassword(options.mail_password);
  if (!encoded) {
    std::cerr << "velhost: this password cannot be handed over in the host's encoding; "
                 "choose another\n";
    return false;
  }
  const size_t before = host.routed().size();
  host.SetMailProfile(options.mail_user->c_str(), encoded->c_str(), &client);
  const std::vector<velsrv::RoutedMessage> routed = host.routed();
  for (size_t i = before; i < routed.size(); ++i) {
    std::cerr << "velhost: mail profile '" << *options.mail_user << "': " << routed[i].text << "\n";
  }
  return true;
}

}  // namespace

int RunApp(int argc, const char* const* argv) {
  std::string error;
  std::optional<Options> parsed = ParseOptions(argc, argv, &error);
  if (!parsed) {
    std::cerr << "velhost: " << error << "\n" << UsageText();
    return kExitCannotStart;
  }
  const Options& options = *parsed;
  if (options.help) {
    std::cout << UsageText();
    return kExitOk;
  }
  if (options.version) {
    std::cout << "velhost " << VELMAIL_VERSION << "\n";
    return kExitOk;
  }

  // Everything named on the command line is taken from the directory
  // velhost started in; the host then works in the data directory.
  const std::string lib_dir = LibraryDirectory(options);
  const DataDirectory data(fs::absolute(options.data_dir));
  const std::string log_path =
      options.log_file.empty() ? "" : fs::absolute(options.log_file).string();
  std::vector<Script> scripts;
  for (const std::string& path : options.scripts) {
    std::optional<std::string> text = ReadScript(path);
    if (!text) return Fail("cannot read " + path);
    const std::string label = path == "-" ? "standard input" : fs::path(path).filename().string();
    scripts.push_back({label, std::move(*text)});
  }

  try {
    if (options.init || !fs::exists(data.root())) {
      for (const std::string& made : data.Create(lib_dir + "/libvelcmc.so", options.server_name)) {
        std::cerr << "velhost: created " << made << "\n";
      }
    }
  } catch (const std::exception& failure) {
    return Fail(failure.what());
  }
  if (options.init && !options.demo && scripts.empty()) {
    std::cerr << "velhost: the data directory " << data.root().string() << " is ready\n";
    return kExitOk;
  }
  const std::string provider = data.ConfiguredProvider();
  if (provider.find('/') != std::string::npos && !fs::exists(provider)) {
    std::cerr << "velhost: warning: win.ini names the provider " << provider
              << ", which does not exist (build it, or edit " << data.win_ini().string() << ")\n";
  }
  const std::string library = lib_dir + "/libvelmail.so";
  const std::string messages = lib_dir + "/libvelmsgs.so";
  for (const std::string& module : {library, messages}) {
    if (!fs::exists(module))
      return Fail("cannot find " + module + " (build it, or give --lib-dir)");
  }

  // What the library and the provider read at load time.
  vel::os::SetEnvironmentVariable("WINDIR", data.root().c_str());
  vel::os::SetEnvironmentVariable("VELCMC_ROOT", data.mail_root().c_str());
  std::error_code ec;
  fs::current_path(data.work(), ec);
  if (ec) return Fail("cannot work in " + data.work().string() + ": " + ec.message());

  velsrv::HostOptions host_options;
  host_options.library = library;
  host_options.message_library = messages;
  host_options.interfaces_file = data.interfaces().string();
  host_options.server_name = options.server_name;
  velsrv::Host host(host_options);
  velsrv::Client& client = host.NewClient();
  std::unique_ptr<HostLogFile> log;
  if (!log_path.empty()) {
    log = std::make_unique<HostLogFile>(host, log_path);
    if (!log->is_open()) return Fail("cannot write the log " + log_path);
  }

  if (host.Load(&client) == 0) {
    if (log) log->Flush();
    return Fail("the mail library did not attach" +
                std::string(log ? " (see the host log)" : " (run with --log FILE to see why)"));
  }
  if (options.mail_user && !HandOverProfile(host, client, options)) return kExitCannotStart;

  std::unique_ptr<ProgressLine> progress;
  if (StdoutIsTerminal()) {
    velct::SetFetchProgress(&CountFetchedRows, kProgressStep);
    progress = std::make_unique<ProgressLine>(std::cout, [] { return g_rows_fetched.load(); });
  }
  const Session::Hooks hooks{progress.get(), log.get()};
  const RunOptions run_options{.echo = options.echo};

  int failures = 0;
  if (options.demo) {
    Session session(client, std::cout, hooks);
    failures = RunDemo(session, kDemoAccounts[0]);
  } else if (options.clients > 1 || scripts.size() > 1) {
    const int clients = std::max<int>(options.clients, static_cast<int>(scripts.size()));
    if (scripts.empty()) scripts.push_back({"standard input", *ReadScript("-")});
    failures = RunClients(host, client, scripts, clients, hooks, run_options, std::cout);
  } else {
    Session session(client, std::cout, hooks);
    if (!scripts.empty()) {
      failures = RunText(session, scripts.front().text, run_options);
    } else if (StdinIsTerminal()) {
      std::cout << "velhost: velmail on " << options.server_name << ", data in "
                << data.root().string() << ". Type 'help' for the syntax, 'quit' to leave.\n";
      PromptLineSource prompt((data.root() / ".velhost_history").string());
      failures = RunLines(session, prompt, run_options);
    } else {
      StreamLineSource in(std::cin);
      failures = RunLines(session, in, run_options);
    }
  }

  // Detach now, so that what the library logs on its way out reaches the log.
  host.Unload(&client);
  if (log) log->Flush();
  return failures == 0 ? kExitOk : kExitStatementsFailed;
}

}  // namespace velhost
