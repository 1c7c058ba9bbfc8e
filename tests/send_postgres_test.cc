// xp_sendmail with its query answered by a real PostgreSQL server: the
// mailed text of every mapped type, byte for byte what the same rows give
// through the SQLite backend where the types agree and the documented form
// where they differ; the server's messages in the mail.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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

  std::unique_ptr<PgServer> server_;
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

}  // namespace
}  // namespace veltest
