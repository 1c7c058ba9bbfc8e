// xp_sendmail with its query answered by a real PostgreSQL server: the
// mailed text of every mapped type, byte for byte what the same rows give
// through the SQLite backend where the types agree and the documented form
// where they differ; the server's messages in the mail.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <libpq-fe.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>

#include "message_numbers.h"
#include "pg_server.h"
#include "velmail_fixture.h"

namespace veltest {
namespace {

class SendPostgresTest : public VelmailTest {
 protected:
  void SetUp() override {
    VelmailTest::SetUp();
    VEL_START_PG_SERVER(server_);
    // Stable time zone offsets in the mailed text.
    ASSERT_EQ(server_->Sql("alter database velmail set timezone = 'UTC'", "postgres"), "");
    StartMail(client());
  }
  void TearDown() override {
    if (server_) {
      EXPECT_EQ(host().outstanding_blocks(), 0) << "a server-library block leaked";
    }
    VelmailTest::TearDown();
  }

  // Answers the query connection from PostgreSQL, or from the SQLite file.
  void UsePostgres() {
    std::ofstream(dir_ / "interfaces") << "VELSERVER postgres " << server_->conninfo() << "\n";
  }
  void UseSqlite(const std::string& sql) {
    const std::string file = (dir_ / "data.db").string();
    std::filesystem::remove(file);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
    std::ofstream(dir_ / "interfaces") << "VELSERVER sqlite data.db\n";
  }

  // The mailed text of the query; with a results file, that file's bytes.
  std::string Mail(const std::string& query, std::vector<velsrv::RpcParam> more = {}) {
    std::vector<velsrv::RpcParam> params = {Text("@recipient", "ops"), Text("@query", query)};
    for (auto& p : more) params.push_back(std::move(p));
    const velsrv::CallResult r = client().Call("xp_sendmail", std::move(params));
    ExpectSucceeded(r);
    const testcmc::Call send = LastCall("cmc_send");
    if (send.attachments.empty()) return send.text_note;
    std::ifstream in(send.attachments[0].second, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }

  // The query connection to conninfo (the interfaces line's string) as the
  // caller with dbuser (nullopt: a NULL @dbuser) is refused: the caller
  // gets the client library's reason just before 11544, the host log gets
  // it too, and neither ever shows the password. The reason's text.
  std::string Refused(const std::string& conninfo, const std::optional<std::string>& dbuser,
                      std::vector<velsrv::RpcParam> more = {}) {
    std::ofstream(dir_ / "interfaces") << "VELSERVER postgres " << conninfo << "\n";
    std::vector<velsrv::RpcParam> params = {Text("@recipient", "ops"), Text("@query", "select 1")};
    params.push_back(dbuser ? Text("@dbuser", *dbuser)
                            : velsrv::RpcParam::Null("@dbuser", VEL_CHAR_TYPE));
    for (auto& p : more) params.push_back(std::move(p));
    const velsrv::CallResult r = client().Call("xp_sendmail", std::move(params));
    ExpectFailedWithoutStatus(r);
    const std::string prefix = "ct_connect(): cannot connect to server 'VELSERVER': ";
    EXPECT_GE(r.messages.size(), 2u);
    if (r.messages.size() < 2) return "";
    const velsrv::ClientMessage& why = r.messages[r.messages.size() - 2];
    EXPECT_EQ(r.messages.back().number, kMsgFailed);
    EXPECT_TRUE(why.forwarded);
    EXPECT_EQ(why.text.rfind(prefix, 0), 0u) << why.text;
    bool logged = false;
    for (const std::string& line : r.log)
      logged = logged || line.find(why.text) != std::string::npos;
    EXPECT_TRUE(logged) << "the host log lacks: " << why.text;
    if (dbuser && dbuser->size() >= 4) {
      for (const auto& m : r.messages) EXPECT_EQ(m.text.find(*dbuser), std::string::npos) << m.text;
      for (const auto& line : r.log) EXPECT_EQ(line.find(*dbuser), std::string::npos) << line;
    }
    return why.text.substr(std::min(prefix.size(), why.text.size()));
  }

  // Whether libpq itself logs in as velmail without being given a password.
  bool LibpqLogsInWithoutAPassword(const std::string& conninfo) {
    PGconn* conn = PQconnectdb((conninfo + " user=velmail").c_str());
    const bool in = PQstatus(conn) == CONNECTION_OK;
    PQfinish(conn);
    return in;
  }

  std::unique_ptr<PgServer> server_;
};

// An environment variable set for the length of a scope, then put back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* was = std::getenv(name)) was_ = was;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (was_)
      setenv(name_, was_->c_str(), 1);
    else
      unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> was_;
};

TEST_F(SendPostgresTest, MailedRowsMatchTheSqliteBackendWhereTheTypesAgree) {
  ASSERT_EQ(
      server_->Sql("create table t(n int, i2 smallint, i4 integer, i8 bigint, r real,"
                   " d double precision, vc varchar(20), tx text, b boolean, dt date, tm time,"
                   " ts timestamp, bin bytea);"
                   "insert into t values (1, -32768, 2147483647, 9223372036854775807, 1.5, 0.1,"
                   " 'hello', 'some text', true, '2024-03-01', '13:45:00', '2024-03-01 13:45:00',"
                   " '\\x00ff41'), (2, null, null, null, null, null, null, null, null, null,"
                   " null, null, null), (3, 0, -1, -9223372036854775807, -2.25, 1e300, '', 'x',"
                   " false, '1999-12-31', '00:00:01.5', '1999-12-31 23:59:59.25', '\\x');"
                   "grant select on t to velmail"),
      "");
  const std::string text_query =
      "select n, i2, i4, i8, r, d, vc, tx, b, dt, tm, ts from t order by n";
  const std::string binary_query = "select n, bin from t order by n";
  std::filesystem::current_path(dir_);
  const std::vector<velsrv::RpcParam> to_file = {Text("@attach_result", "true"),
                                                 Text("@attachname", "rows.txt")};
  UsePostgres();
  const std::string pg_text = Mail(text_query);
  const std::string pg_binary = Mail(binary_query, to_file);

  UseSqlite(
      "create table t(n integer, i2 smallint, i4 integer, i8 bigint, r real, d double precision,"
      " vc varchar(20), tx text, b boolean, dt date, tm time, ts timestamp, bin blob);"
      "insert into t values (1, -32768, 2147483647, 9223372036854775807, 1.5, 0.1, 'hello',"
      " 'some text', 1, '2024-03-01', '13:45:00', '2024-03-01 13:45:00', x'00ff41'),"
      " (2, null, null, null, null, null, null, null, null, null, null, null, null),"
      " (3, 0, -1, -9223372036854775807, -2.25, 1e300, '', 'x', 0, '1999-12-31',"
      " '00:00:01.5', '1999-12-31 23:59:59.25', x'');");
  EXPECT_EQ(pg_text, Mail(text_query));
  EXPECT_EQ(pg_binary, Mail(binary_query, to_file));

  // Both are the rows themselves, not two equal failures.
  EXPECT_NE(pg_text.find("2147483647\t9223372036854775807 \t1.5  \t0.1   \thello\tsome text\t1\t"),
            std::string::npos)
      << pg_text;
  EXPECT_NE(pg_text.find("1999-12-31 23:59:59.25"), std::string::npos) << pg_text;
  EXPECT_NE(pg_binary.find(std::string("\x00\xff"
                                       "A",
                                       3)),
            std::string::npos);
}

TEST_F(SendPostgresTest, TypesWithoutAnSqliteCounterpartAreMailedInTheirDocumentedForm) {
  ASSERT_EQ(
      server_->Sql("create table u(n numeric(6,2), c char(4), tz timestamptz, ttz timetz,"
                   " iv interval, id uuid, f real);"
                   "insert into u values (12.5, 'ab', '2024-03-01 13:45:00+02', '13:45:00+01:30',"
                   " '1 day 02:00', 'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11', 'NaN');"
                   "grant select on u to velmail"),
      "");
  UsePostgres();
  EXPECT_EQ(Mail("select * from u", {Int("@width", 200)}),
            "\nn    \tc   \ttz                    \tttz           \tiv            \t"
            "id                                  \tf  \n"
            "-----\t----\t----------------------\t--------------\t--------------\t"
            "------------------------------------\t---\n"
            "12.50\tab  \t2024-03-01 11:45:00+00\t13:45:00+01:30\t1 day 02:00:00\t"
            "a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11\tnan\n"
            "\n(1 rows affected)");
}

TEST_F(SendPostgresTest, TheServersMessagesReachTheMail) {
  ASSERT_EQ(server_->Sql("create database other owner velmail", "postgres"), "");
  UsePostgres();
  const std::string mail =
      Mail("select current_database() as db;\nselect * from nosuch", {Text("@dbname", "other")});
  EXPECT_EQ(mail.substr(0, mail.find("\nServer Message:")),
            "\ndb   \n-----\nother\n\n(1 rows affected)");
  EXPECT_NE(mail.find("State 1, Line 2\nVELSERVER: relation \"nosuch\" does not exist\n"),
            std::string::npos)
      << mail;
  EXPECT_NE(mail.find("Message number: 6844177,"), std::string::npos) << mail;

  const std::string missing = Mail("select current_database() as db", {Text("@dbname", "nosuch")});
  EXPECT_NE(missing.find("\nvelmail\n"), std::string::npos) << "the query still runs: " << missing;
  EXPECT_NE(missing.find("Message number: 20100,"), std::string::npos) << missing;
  EXPECT_NE(missing.find("VELSERVER: Database 'nosuch' does not exist.\n"), std::string::npos)
      << missing;
}

TEST_F(SendPostgresTest, AConnectionThatFailsTellsTheCallerAndTheLogWhy) {
  const std::string why = Refused(server_->conninfo(), "Wr0ng-Passw0rd");
  EXPECT_NE(why.find("password authentication failed for user \"velmail\""), std::string::npos)
      << why;
  // Nothing listens on the port (its socket file is missing).
  const std::string down = Refused(server_->conninfo() + " port=5499", "guest");
  EXPECT_NE(down.find(".s.PGSQL.5499\" failed: No such file or directory"), std::string::npos)
      << down;
  // The right login still goes through.
  UsePostgres();
  EXPECT_EQ(Mail("select 7 as n", {Text("@dbuser", "guest")}), "\nn\n-\n7\n\n(1 rows affected)");
}

TEST_F(SendPostgresTest, AServerOutOfConnectionSlotsIsReportedAsSuch) {
  server_.reset();
  VEL_START_PG_SERVER(
      server_, std::vector<std::string>{"max_connections=3", "superuser_reserved_connections=0"});
  // Every slot taken by sessions of velmail.
  std::vector<PGconn*> held;
  const std::string login =
      server_->conninfo() + " user=velmail password=" + PgServer::kVelmailPassword;
  for (int i = 0; i < 10; ++i) {
    PGconn* conn = PQconnectdb(login.c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
      PQfinish(conn);
      break;
    }
    held.push_back(conn);
  }
  EXPECT_EQ(held.size(), 3u);
  const std::string why = Refused(server_->conninfo(), "guest");
  EXPECT_NE(why.find("sorry, too many clients already"), std::string::npos) << why;
  for (PGconn* conn : held) PQfinish(conn);
}

// The caller's @dbuser is the password, and nothing else the host keeps
// stands in for it: a password in the interfaces line, PGPASSWORD, a
// password file (PGPASSFILE, or ~/.pgpass), each of which libpq on its own
// would log in with.
TEST_F(SendPostgresTest, AnEmptyOrNullDbuserNeverLogsInWithTheHostsStoredPassword) {
  const std::string plain = server_->conninfo();
  const std::string pgpass = "*:*:*:velmail:" + std::string(PgServer::kVelmailPassword) + "\n";
  const std::filesystem::path home = dir_ / "home";
  std::filesystem::create_directories(home);
  const std::string passfile = (dir_ / "pgpass").string();
  std::ofstream(passfile) << pgpass;
  std::ofstream(home / ".pgpass") << pgpass;
  chmod(passfile.c_str(), 0600);
  chmod((home / ".pgpass").c_str(), 0600);

  struct Stored {
    const char* name;
    std::string conninfo;
    std::function<std::unique_ptr<ScopedEnv>()> environment;
  };
  const std::vector<Stored> stored = {
      {"password= in the interfaces line", plain + " password=" + PgServer::kVelmailPassword,
       [] { return nullptr; }},
      {"passfile= in the interfaces line", plain + " passfile=" + passfile, [] { return nullptr; }},
      {"PGPASSWORD", plain,
       [] { return std::make_unique<ScopedEnv>("PGPASSWORD", PgServer::kVelmailPassword); }},
      {"PGPASSFILE", plain, [&] { return std::make_unique<ScopedEnv>("PGPASSFILE", passfile); }},
      {"~/.pgpass", plain, [&] { return std::make_unique<ScopedEnv>("HOME", home.string()); }},
  };
  for (const Stored& s : stored) {
    SCOPED_TRACE(s.name);
    const auto environment = s.environment();
    if (!LibpqLogsInWithoutAPassword(s.conninfo)) {
      // libpq before 16 finds the home directory through the password
      // database, not HOME; root's real ~/.pgpass is not the test's to write.
      EXPECT_STREQ(s.name, "~/.pgpass") << "libpq does not use this credential on its own";
      continue;
    }
    for (const std::optional<std::string>& dbuser :
         {std::optional<std::string>(""), std::optional<std::string>()}) {
      const std::string why = Refused(s.conninfo, dbuser);
      EXPECT_NE(why.find("no password supplied"), std::string::npos) << why;
    }
    EXPECT_NE(Refused(s.conninfo, "Wr0ng-Passw0rd").find("password authentication failed"),
              std::string::npos);
    // The caller's own password still logs in, past the stored one.
    std::ofstream(dir_ / "interfaces") << "VELSERVER postgres " << s.conninfo << "\n";
    EXPECT_EQ(Mail("select 1 as n", {Text("@dbuser", "guest")}), "\nn\n-\n1\n\n(1 rows affected)");
  }
}

// The password is masked in every reason a connection gives, in one pass
// (a password that is part of the mask ends), and a short password only
// where it stands whole.
TEST_F(SendPostgresTest, ThePasswordIsMaskedInReasonsWithoutWreckingThem) {
  UsePostgres();
  const auto dbname_reason = [&](const std::string& password, const std::string& database) {
    EXPECT_EQ(server_->Sql("alter role velmail password '" + password + "'", "postgres"), "");
    const std::string mail =
        Mail("select 1 as n", {Text("@dbuser", password), Text("@dbname", database)});
    const size_t at = mail.find("VELSERVER: Database '" + database + "' ");
    EXPECT_NE(at, std::string::npos) << mail;
    return at == std::string::npos ? "" : mail.substr(at);
  };
  for (const char* name : {"locked-base", "locked"}) {
    ASSERT_EQ(server_->Sql(std::string("create database \"") + name + "\"", "postgres"), "");
    ASSERT_EQ(server_->Sql(std::string("revoke connect on database \"") + name + "\" from public",
                           "postgres"),
              "");
  }
  // A password that is part of the mask, with a name that holds it.
  EXPECT_NE(dbname_reason("*", "no*such").find("does not exist"), std::string::npos);
  // Echoed in the server's reason: masked.
  const std::string echoed = dbname_reason("locked-base", "locked-base");
  EXPECT_NE(echoed.find("cannot be opened: "), std::string::npos) << echoed;
  EXPECT_NE(echoed.find("permission denied for database \"****\""), std::string::npos) << echoed;
  // One letter, found all over the reason but never standing alone.
  const std::string short_one = dbname_reason("e", "locked");
  EXPECT_NE(short_one.find("FATAL:  permission denied for database \"locked\""), std::string::npos)
      << short_one;
  EXPECT_EQ(short_one.find("****"), std::string::npos) << short_one;
}

}  // namespace
}  // namespace veltest
