#include "pg_server.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

extern char** environ;

namespace veltest {
namespace {

namespace fs = std::filesystem;

// The newest installed server programs' directory, or "" (VEL_PG_BINDIR
// names another).
std::string ServerBinDir() {
  if (const char* dir = std::getenv("VEL_PG_BINDIR")) return dir;
  std::string best;
  int best_version = -1;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    const int version = std::atoi(entry.path().filename().c_str());
    if (version > best_version && fs::exists(entry.path() / "bin" / "postgres")) {
      best_version = version;
      best = (entry.path() / "bin").string();
    }
  }
  return best;
}

// The program's argument list, run through setpriv: as "nobody" when this
// process is root, and ended should the test die before stopping it.
std::vector<std::string> AsServerUser(std::vector<std::string> args) {
  std::vector<std::string> setpriv = {"setpriv", "--pdeathsig=SIGQUIT"};
  if (geteuid() == 0) {
    const passwd* nobody = getpwnam("nobody");
    setpriv.push_back("--reuid=" + std::to_string(nobody ? nobody->pw_uid : 65534));
    setpriv.push_back("--regid=" + std::to_string(nobody ? nobody->pw_gid : 65534));
    setpriv.push_back("--clear-groups");
  }
  setpriv.push_back("--");
  args.insert(args.begin(), setpriv.begin(), setpriv.end());
  return args;
}

// Runs the program in dir (the server's own, whatever the test's current
// directory is), its output appended to log.
pid_t Spawn(const std::vector<std::string>& args, const std::string& dir, const std::string& log) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

bool PgServer::Installed() { return !ServerBinDir().empty(); }

std::unique_ptr<PgServer> PgServer::Start(std::string& problem,
                                          const std::vector<std::string>& settings) {
  const std::string bin = ServerBinDir();
  if (bin.empty()) {
    problem = "no server programs under /usr/lib/postgresql (package postgresql)";
    return nullptr;
  }
  char pattern[] = "/tmp/velpg-XXXXXX";
  if (!mkdtemp(pattern)) {
    problem = "no temporary directory";
    return nullptr;
  }
  std::unique_ptr<PgServer> server(new PgServer);
  server->dir_ = pattern;
  const std::string dir = server->dir_;
  { std::ofstream(dir + "/pwfile") << kSuperPassword << "\n"; }
  if (geteuid() == 0) {
    const passwd* nobody = getpwnam("nobody");
    const uid_t uid = nobody ? nobody->pw_uid : 65534;
    const gid_t gid = nobody ? nobody->pw_gid : 65534;
    if (chown(dir.c_str(), uid, gid) != 0 || chown((dir + "/pwfile").c_str(), uid, gid) != 0) {
      problem = "cannot hand " + dir + " to nobody";
      return nullptr;
    }
  }
  const std::string log = dir + "/server.log";
  const pid_t initdb = Spawn(AsServerUser({bin + "/initdb", "-D", dir + "/data", "-U", "postgres",
                                           "-E", "UTF8", "--no-locale", "--auth=scram-sha-256",
                                           "--pwfile=" + dir + "/pwfile", "--no-sync"}),
                             dir, log);
  if (initdb < 0 || Wait(initdb) != 0) {
    problem = "initdb failed: " + Slurp(log);
    return nullptr;
  }
  std::vector<std::string> args = {bin + "/postgres",
                                   "-D",
                                   dir + "/data",
                                   "-k",
                                   dir,
                                   "-c",
                                   "listen_addresses=",
                                   "-c",
                                   "fsync=off",
                                   "-c",
                                   "full_page_writes=off",
                                   "-c",
                                   "synchronous_commit=off"};
  for (const std::string& setting : settings) {
    args.push_back("-c");
    args.push_back(setting);
  }
  server->pid_ = Spawn(AsServerUser(args), dir, log);
  if (server->pid_ < 0) {
    problem = "the server cannot be started";
    return nullptr;
  }
  // Waits until it answers.
  const std::string ping = server->conninfo("postgres");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (PQping(ping.c_str()) != PQPING_OK) {
    int status = 0;
    if (waitpid(server->pid_, &status, WNOHANG) == server->pid_ ||
        std::chrono::steady_clock::now() > deadline) {
      server->pid_ = -1;
      problem = "the server did not come up: " + Slurp(log);
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  problem = server->Sql(
      std::string("CREATE ROLE velmail LOGIN PASSWORD '") + kVelmailPassword + "'", "postgres");
  if (problem.empty()) problem = server->Sql("CREATE DATABASE velmail OWNER velmail", "postgres");
  if (!problem.empty()) return nullptr;
  return server;
}

PgServer::~PgServer() {
  if (pid_ > 0) {
    // Fast shutdown: clients are told, the server stops at once.
    kill(pid_, SIGINT);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        Wait(pid_);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void PgServer::Kill() {
  if (pid_ <= 0) return;
  // Immediate shutdown: the server ends every session without a message.
  kill(pid_, SIGQUIT);
  Wait(pid_);
  pid_ = -1;
}

std::string PgServer::conninfo(const std::string& database) const {
  return "host=" + dir_ + " port=5432 dbname=" + database;
}

std::string PgServer::Sql(const std::string& sql, const std::string& database) const {
  const std::string info = conninfo(database) + " user=postgres password=" + kSuperPassword;
  PGconn* conn = PQconnectdb(info.c_str());
  std::string error;
  if (PQstatus(conn) != CONNECTION_OK) {
    error = PQerrorMessage(conn);
  } else {
    PGresult* result = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
      error = PQresultErrorMessage(result);
    PQclear(result);
  }
  PQfinish(conn);
  return error;
}

}  // namespace veltest
