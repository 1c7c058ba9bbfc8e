// A throwaway PostgreSQL server for the tests: a cluster made with initdb in
// a temporary directory, listening on a Unix socket in that directory only,
// started as a child of the test and stopped by its pid at the end (or, if
// the test dies first, by the parent-death signal setpriv sets). A root
// process runs the server programs as the user "nobody" (PostgreSQL refuses
// to run as root), through setpriv.
//
// The cluster asks for passwords: the superuser "postgres" has kSuperPassword,
// and the role "velmail" (the login the message library uses) has
// kVelmailPassword and owns the database "velmail".
#ifndef VELMAIL_TESTS_PG_SERVER_H
#define VELMAIL_TESTS_PG_SERVER_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace veltest {

class PgServer {
 public:
  static constexpr const char* kSuperPassword = "postgres-secret";
  static constexpr const char* kVelmailPassword = "guest";

  // Whether the server programs are installed.
  static bool Installed();
  // Starts a server and waits until it answers; settings are further
  // "name=value" server settings. Null, with the reason, when the server
  // programs are missing or the server does not come up.
  static std::unique_ptr<PgServer> Start(std::string& problem,
                                         const std::vector<std::string>& settings = {});
  ~PgServer();  // stops the server
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  // A connection string for the database, without login.
  std::string conninfo(const std::string& database = "velmail") const;
  // Runs SQL as the superuser on the database; the error text, or "".
  std::string Sql(const std::string& sql, const std::string& database = "velmail") const;
  // Ends the server at once, without a word to its clients.
  void Kill();

 private:
  PgServer() = default;
  std::string dir_;
  pid_t pid_ = -1;
};

// Starts a server for the current test, or fails it. Where the server
// programs are missing the test is skipped with the reason, except under CI
// (CI=true).
#define VEL_START_PG_SERVER(server, ...)                                           \
  do {                                                                             \
    std::string pg_problem;                                                        \
    server = ::veltest::PgServer::Start(pg_problem __VA_OPT__(, ) __VA_ARGS__);    \
    if (!server) {                                                                 \
      const char* ci = std::getenv("CI");                                          \
      if (::veltest::PgServer::Installed() || (ci && std::string(ci) == "true")) { \
        FAIL() << "PostgreSQL: " << pg_problem;                                    \
      }                                                                            \
      GTEST_SKIP() << "PostgreSQL: " << pg_problem;                                \
    }                                                                              \
  } while (0)

}  // namespace veltest

#endif
