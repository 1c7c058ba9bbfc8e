// The client library over a real PostgreSQL server, through the C entry
// points: batches with errors, notices and transactions, the datatypes,
// "use", the login, a server that goes away, cancel, and a million rows
// streamed with the library's memory staying flat.
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "client_test_support.h"
#include "pg_server.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' allocator takes the place of malloc's; this counts its
// bytes in use.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using velct_test::ClientContext;
using velct_test::Connection;
using veltest::PgServer;

class ClientPostgres : public velct_test::ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    VEL_START_PG_SERVER(server_);
    context_ = std::make_unique<ClientContext>("PG postgres " + server_->conninfo() + "\n");
  }

  // A connection logged in as velmail with the password given.
  std::unique_ptr<Connection> Login(const std::string& password = PgServer::kVelmailPassword) {
    auto con = std::make_unique<Connection>(context_->get());
    SetLogin(*con, "velmail", password);
    return con;
  }
  static void SetLogin(Connection& con, const std::string& user, const std::string& password) {
    EXPECT_EQ(ct_con_props(con.get(), VEL_SET, VEL_PROP_USERNAME, const_cast<char*>(user.c_str()),
                           VEL_NULLTERM, nullptr),
              1);
    EXPECT_EQ(ct_con_props(con.get(), VEL_SET, VEL_PROP_PASSWORD,
                           const_cast<char*>(password.c_str()), VEL_NULLTERM, nullptr),
              1);
  }
  static std::string Events(Connection& con) {
    std::string all;
    for (const std::string& e : con.recorder().events) all += (all.empty() ? "" : " | ") + e;
    return all;
  }

  std::unique_ptr<PgServer> server_;
  std::unique_ptr<ClientContext> context_;
};

// Message numbers of SQLSTATEs, as the README derives them.
constexpr int32_t kUndefinedTable = 6844177;       // 42P01
constexpr int32_t kDivisionByZero = 3452582;       // 22012
constexpr int32_t kInFailedTransaction = 3624914;  // 25P02
constexpr int32_t kWarning = 46656;                // 01000
constexpr int32_t kConnectionFailure = 373254;     // 08006

TEST_F(ClientPostgres, BatchStatementsRunInOrderWithErrorsNoticesAndTransactions) {
  auto con = Login();
  ASSERT_EQ(con->Connect("PG"), 1) << Events(*con);
  EXPECT_EQ(con->Run("create table k(id int primary key);\n"
                     "insert into k values (1), (2);\n"
                     "select * from nosuch;\n"
                     "insert into k values (3);\n"
                     "do $$ begin raise notice 'semi; colon'; raise warning 'careful'; end $$;\n"
                     "select id, null::text as t from k order by id"),
            "succeed | done(-1) | succeed | done(2) | "
            "srv " +
                std::to_string(kUndefinedTable) +
                "/16 line 3: relation \"nosuch\" does not exist | fail | done(-1) | "
                "succeed | done(1) | "
                "srv 0/10 line 5: semi; colon | srv " +
                std::to_string(kWarning) +
                "/10 line 5: careful | succeed | done(-1) | "
                "row[id:8:4,t:4:32768] | (1,NULL) | (2,NULL) | (3,NULL) | done(3) | end");
  // Each statement commits on its own; a transaction the batch opens ends
  // with its first error, and what follows in it is refused until its end.
  EXPECT_EQ(con->Run("begin; insert into k values (4); select 1/0 as x; insert into k values (5);"
                     "commit; select count(*) as n from k"),
            "succeed | done(-1) | succeed | done(1) | "
            "srv " +
                std::to_string(kDivisionByZero) +
                "/16 line 1: division by zero | fail | "
                "done(-1) | srv " +
                std::to_string(kInFailedTransaction) +
                "/16 line 1: current transaction is aborted, commands ignored until end of "
                "transaction block | fail | done(-1) | succeed | done(-1) | "
                "row[n:8:4] | (3) | done(1) | end");
}

TEST_F(ClientPostgres, EveryMappedTypeIsDescribedAndDeliveredAsText) {
  auto con = Login();
  ASSERT_EQ(con->Connect("PG"), 1) << Events(*con);
  EXPECT_EQ(
      server_->Sql("create table m(a smallint, b int, c bigint, d numeric(6,2), e numeric, f real,"
                   " g double precision, h char(4), i varchar(7), j varchar, k text, l bytea,"
                   " m boolean, n date, o time, p timetz, q timestamp, r timestamptz, s uuid);"
                   "insert into m values (-2, 40000, 9000000000, 12.5, 0.10, 1.1, 1e-7, 'ab',"
                   " 'x''y', 'u', 'long', '\\x00ff41', true, '2024-03-01', '13:45:00.5',"
                   " '13:45:00+01:30', '2024-03-01 13:45:00', '2024-03-01 13:45:00+00',"
                   " 'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11');"
                   "insert into m default values;"
                   "grant select on m to velmail; alter database velmail set timezone = 'UTC'"),
      "");
  // The timezone takes effect from the next login on.
  auto fresh = Login();
  ASSERT_EQ(fresh->Connect("PG"), 1) << Events(*fresh);
  EXPECT_EQ(fresh->Run("select * from m order by a"),
            "row[a:8:4,b:8:4,c:8:4,d:0:8,e:0:255,f:10:8,g:10:8,h:0:4,i:0:7,j:4:32768,"
            "k:4:32768,l:5:32768,m:8:4,n:0:10,o:0:15,p:0:21,q:0:26,r:0:32,s:0:255] | "
            "(-2,40000,9000000000,12.50,0.10,1.1,1e-07,ab  ,x'y,u,long,00FF41,1,2024-03-01,"
            "13:45:00.5,13:45:00+01:30,2024-03-01 13:45:00,2024-03-01 13:45:00+00,"
            "a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11) | "
            "(NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,"
            "NULL,NULL,NULL) | done(2) | end");
  EXPECT_EQ(fresh->Run("select 'NaN'::float8 as a, '-Infinity'::real as b, false as c"),
            "row[a:10:8,b:10:8,c:8:4] | (nan,-inf,0) | done(1) | end");
  // Reals in the shortest form, without an exponent when that is no longer.
  EXPECT_EQ(fresh->Run("select v from (values (1e6::float8), (1e-4), (123456.789), (-0.5), (100),"
                       " (1e15), (0.001), ('-0'), (123456789012345680), (12345678.5)) t(v)"),
            "row[v:10:8] | (1e+06) | (1e-04) | (123456.789) | (-0.5) | (100) | (1e+15) | (0.001) | "
            "(-0) | (123456789012345680) | (12345678.5) | done(10) | end");
  // Numbers bound as numbers.
  cs_command* cmd = nullptr;
  ASSERT_EQ(ct_cmd_alloc(fresh->get(), &cmd), 1);
  const char* numbers = "select 12.5::float8 as r, -40000 as i, 9000000000::bigint as big";
  ASSERT_EQ(ct_command(cmd, VEL_LANG_CMD, numbers, VEL_NULLTERM, VEL_UNUSED), 1);
  ASSERT_EQ(ct_send(cmd), 1);
  int32_t type = 0;
  ASSERT_EQ(ct_results(cmd, &type), 1);
  double real = 0;
  int32_t integer = 0, big = 0;
  cs_datafmt fmt{};
  fmt.datatype = VEL_FLOAT_TYPE;
  ASSERT_EQ(ct_bind(cmd, 1, &fmt, &real, nullptr, nullptr), 1);
  fmt.datatype = VEL_INT_TYPE;
  ASSERT_EQ(ct_bind(cmd, 2, &fmt, &integer, nullptr, nullptr), 1);
  ASSERT_EQ(ct_bind(cmd, 3, &fmt, &big, nullptr, nullptr), 1);
  ASSERT_EQ(ct_fetch(cmd, VEL_UNUSED, VEL_UNUSED, VEL_UNUSED, nullptr), 1);
  EXPECT_EQ(real, 12.5);
  EXPECT_EQ(integer, -40000);
  EXPECT_EQ(big, 2147483647) << "clamped, with a message";
  ASSERT_EQ(fresh->recorder().client_messages.size(), 1u);
  ct_cmd_drop(cmd);
}

TEST_F(ClientPostgres, UseReconnectsToAnotherDatabaseOfTheServer) {
  ASSERT_EQ(server_->Sql("create database other owner velmail", "postgres"), "");
  auto con = Login();
  ASSERT_EQ(con->Connect("PG"), 1) << Events(*con);
  EXPECT_EQ(con->Run("use other\nselect current_database() as db"),
            "srv 5701/10 line 1: Now using database 'other'. | succeed | done(-1) | "
            "row[db:0:63] | (other) | done(1) | end");
  EXPECT_EQ(con->Run("use nosuch; select current_database() as db"),
            "srv 20100/16 line 1: Database 'nosuch' does not exist. | fail | done(-1) | "
            "row[db:0:63] | (other) | done(1) | end")
      << "a failed switch leaves the connection where it was";
  EXPECT_EQ(con->Run("use [velmail]; select current_database() as db"),
            "srv 5701/10 line 1: Now using database 'velmail'. | succeed | done(-1) | "
            "row[db:0:63] | (velmail) | done(1) | end");
  // One the login may not connect to: the server's reason, whose last
  // sentence ends the message with one full stop.
  ASSERT_EQ(server_->Sql("create database locked", "postgres"), "");
  ASSERT_EQ(server_->Sql("revoke connect on database locked from public", "postgres"), "");
  const std::string refused = con->Run("use locked");
  EXPECT_EQ(refused.rfind("srv 20100/16 line 1: Database 'locked' cannot be opened: ", 0), 0u)
      << refused;
  EXPECT_NE(refused.find("User does not have CONNECT privilege. | fail | done(-1) | end"),
            std::string::npos)
      << refused;
}

TEST_F(ClientPostgres, AWrongPasswordFailsTheConnectWithTheServersReasonOnly) {
  auto con = Login("Wr0ng-Passw0rd");
  EXPECT_EQ(con->Connect("PG"), 0);
  const std::string events = Events(*con);
  EXPECT_EQ(events.rfind("cli 2.1.5.4: ct_connect(): cannot connect to server 'PG': ", 0), 0u)
      << events;
  EXPECT_NE(events.find("password authentication failed for user \"velmail\""), std::string::npos)
      << events;
  EXPECT_EQ(events.find("Wr0ng-Passw0rd"), std::string::npos) << events;
  // The right password on the same connection then works.
  SetLogin(*con, "velmail", PgServer::kVelmailPassword);
  EXPECT_EQ(con->Connect("PG"), 1) << Events(*con);
  EXPECT_EQ(con->Run("select 1 as one"), "row[one:8:4] | (1) | done(1) | end");
}

// A command whose batch has been sent and its first result read, all
// columns bound as character.
struct Streaming {
  Streaming(Connection& con, const std::string& batch) {
    EXPECT_EQ(ct_cmd_alloc(con.get(), &cmd), 1);
    EXPECT_EQ(ct_command(cmd, VEL_LANG_CMD, batch.c_str(), VEL_NULLTERM, VEL_UNUSED), 1);
    EXPECT_EQ(ct_send(cmd), 1);
    EXPECT_EQ(ct_results(cmd, &type), 1);
    EXPECT_EQ(type, VEL_ROW_RESULT);
    ct_res_info(cmd, VEL_NUMDATA, &columns, VEL_UNUSED, nullptr);
    values.resize(static_cast<size_t>(columns));
    for (int32_t i = 1; i <= columns; ++i) {
      cs_datafmt fmt{};
      fmt.datatype = VEL_CHAR_TYPE;
      fmt.maxlength = 64;
      Value& v = values[static_cast<size_t>(i - 1)];
      EXPECT_EQ(ct_bind(cmd, i, &fmt, v.text, &v.copied, &v.indicator), 1);
    }
  }
  ~Streaming() { ct_cmd_drop(cmd); }
  int32_t Fetch() { return ct_fetch(cmd, VEL_UNUSED, VEL_UNUSED, VEL_UNUSED, nullptr); }
  int32_t Results() {
    int32_t result = 0;
    const int32_t rc = ct_results(cmd, &result);
    return rc == 1 ? result : rc;
  }

  struct Value {
    char text[64];
    int32_t copied;
    int16_t indicator;
  };
  cs_command* cmd = nullptr;
  int32_t type = 0;
  int32_t columns = 0;
  std::vector<Value> values;
};

TEST_F(ClientPostgres, AServerThatGoesAwayInTheMiddleOfTheRowsEndsTheBatch) {
  auto con = Login();
  ASSERT_EQ(con->Connect("PG"), 1) << Events(*con);
  Streaming rows(*con, "select generate_series(1, 2000000000) as i; select 2 as never");
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(rows.Fetch(), 1);
  server_->Kill();
  int64_t more = 0;
  int32_t rc;
  while ((rc = rows.Fetch()) == 1) ++more;
  EXPECT_EQ(rc, VEL_END_DATA);
  EXPECT_EQ(rows.Results(), VEL_CMD_FAIL);
  EXPECT_EQ(rows.Results(), VEL_CMD_DONE);
  EXPECT_EQ(rows.Results(), VEL_END_RESULTS) << "the rest of the batch is not run";
  // The server's farewell (a warning) when it got to send one, then the
  // lost connection.
  const auto& messages = con->recorder().server_messages;
  ASSERT_FALSE(messages.empty());
  EXPECT_LE(messages.size(), 2u) << Events(*con);
  EXPECT_EQ(messages.back().severity, 16) << Events(*con);
  EXPECT_EQ(messages.back().msgnumber, kConnectionFailure) << Events(*con);
  // Later batches on the connection fail at once.
  EXPECT_EQ(con->Run("select 1; select 2"),
            "srv " + std::to_string(kConnectionFailure) +
                "/16 line 1: no connection to the server | fail | done(-1) | end");
}

TEST_F(ClientPostgres, CancelStopsTheQueryOnTheServer) {
  auto con = Login();
  ASSERT_EQ(con->Connect("PG"), 1) << Events(*con);
  {
    Streaming rows(*con, "select generate_series(1, 2000000000) as i");
    for (int i = 0; i < 10; ++i) ASSERT_EQ(rows.Fetch(), 1);
    // Reading the rest of the rows would take minutes.
    EXPECT_EQ(ct_cancel(nullptr, rows.cmd, VEL_CANCEL_ALL), 1);
  }
  EXPECT_EQ(con->Run("select count(*) as running from pg_stat_activity "
                     "where query like '%generate_series%' and pid <> pg_backend_pid()"),
            "row[running:8:4] | (0) | done(1) | end");
  EXPECT_TRUE(con->recorder().server_messages.empty()) << Events(*con);
}

// How many statements of other sessions run the given text on the server.
std::string Running(Connection& con, const std::string& like) {
  return con.Run(
      "select count(*) as running from pg_stat_activity where state = 'active'"
      " and query like '" +
      like + "' and pid <> pg_backend_pid()");
}

// Waits (at most a minute) until the server runs the statement.
bool WaitUntilRunning(Connection& watcher, const std::string& like) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Running(watcher, like) == "row[running:8:4] | (1) | done(1) | end") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// A call of another thread that waits for a slow statement comes back as
// soon as the statement is cancelled (or its connection dropped), well
// before the statement would have ended; the deadlines only keep a broken
// build from hanging.
TEST_F(ClientPostgres, CancelFromAnotherThreadInterruptsACallWaitingForTheServer) {
  auto con = Login();
  auto watcher = Login();
  ASSERT_EQ(con->Connect("PG"), 1) << Events(*con);
  ASSERT_EQ(watcher->Connect("PG"), 1) << Events(*watcher);
  cs_command* cmd = nullptr;
  ASSERT_EQ(ct_cmd_alloc(con->get(), &cmd), 1);
  const std::string slow = "select pg_sleep(60) as slept; select 2 as never";
  ASSERT_EQ(ct_command(cmd, VEL_LANG_CMD, slow.c_str(), VEL_NULLTERM, VEL_UNUSED), 1);
  ASSERT_EQ(ct_send(cmd), 1);
  auto waiting = std::async(std::launch::async, [cmd] {
    int32_t type = 0;
    return ct_results(cmd, &type);
  });
  ASSERT_TRUE(WaitUntilRunning(*watcher, "select pg_sleep(60)%"));
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  EXPECT_EQ(ct_cancel(nullptr, cmd, VEL_CANCEL_ALL), 1);
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(20)), std::future_status::ready)
      << "the call waits for the statement still";
  EXPECT_EQ(waiting.get(), VEL_FAIL);
  // The caller hears why, and nothing of the server's answer to the cancel.
  EXPECT_EQ(Events(*con), "cli 1.1.1.6: ct_results(): canceled");
  int32_t type = 0;
  EXPECT_EQ(ct_results(cmd, &type), VEL_FAIL) << "the results have ended";
  EXPECT_EQ(Running(*watcher, "select pg_sleep(60)%"), "row[running:8:4] | (0) | done(1) | end");
  EXPECT_EQ(con->Run("select 1 as one"), "row[one:8:4] | (1) | done(1) | end")
      << "the connection takes the next batch";
  ct_cmd_drop(cmd);

  // Closing the context under a waiting call: the call ends first, then the
  // connection is gone.
  ClientContext other("PG postgres " + server_->conninfo() + "\n");
  Connection doomed(other.get());
  SetLogin(doomed, "velmail", PgServer::kVelmailPassword);
  ASSERT_EQ(doomed.Connect("PG"), 1) << Events(doomed);
  ASSERT_EQ(ct_cmd_alloc(doomed.get(), &cmd), 1);
  ASSERT_EQ(ct_command(cmd, VEL_LANG_CMD, slow.c_str(), VEL_NULLTERM, VEL_UNUSED), 1);
  ASSERT_EQ(ct_send(cmd), 1);
  waiting = std::async(std::launch::async, [cmd] {
    int32_t result = 0;
    return ct_results(cmd, &result);
  });
  ASSERT_TRUE(WaitUntilRunning(*watcher, "select pg_sleep(60)%"));
  const int64_t connections = velct::LiveConnections();
  auto exiting =
      std::async(std::launch::async, [&other] { return ct_exit(other.get(), VEL_FORCE_EXIT); });
  ASSERT_EQ(exiting.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(exiting.get(), 1);
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), VEL_FAIL);
  EXPECT_EQ(velct::LiveConnections(), connections - 1);
  EXPECT_EQ(ct_results(cmd, &type), VEL_FAIL) << "a dropped command";
  EXPECT_EQ(ct_con_props(doomed.get(), VEL_GET, VEL_PROP_9136, &type, 4, nullptr), VEL_FAIL)
      << "a dropped connection";
  EXPECT_EQ(Running(*watcher, "select pg_sleep(60)%"), "row[running:8:4] | (0) | done(1) | end");
}

// The heap in use, as the allocator of this build counts it.
size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

std::atomic<size_t> peak_heap{0};
void SamplePeak(int64_t) {
  const size_t now = HeapInUse();
  if (now > peak_heap.load()) peak_heap = now;
}

TEST_F(ClientPostgres, AMillionRowsStreamWithFlatMemory) {
  auto con = Login();
  ASSERT_EQ(con->Connect("PG"), 1) << Events(*con);
  const size_t before = HeapInUse();
  peak_heap = before;
  Streaming rows(*con,
                 "select i, i * 2 as twice, 'row number ' || i as label, i / 3.0::float8 as third"
                 " from generate_series(1, 1000000) i");
  SamplePeak(0);
  velct::SetFetchProgress(&SamplePeak, 10000);
  int64_t fetched = 0;
  int32_t rc;
  while ((rc = rows.Fetch()) == 1) ++fetched;
  velct::SetFetchProgress(nullptr, 0);
  EXPECT_EQ(rc, VEL_END_DATA);
  EXPECT_EQ(fetched, 1000000);
  EXPECT_EQ(std::string(rows.values[2].text, static_cast<size_t>(rows.values[2].copied)),
            "row number 1000000");
  // The whole result would take well over 50 MB.
  EXPECT_LT(peak_heap.load() - before, size_t{2} << 20)
      << "peak " << peak_heap.load() << " against " << before << " before the batch";
  EXPECT_EQ(rows.Results(), VEL_CMD_DONE);
}

}  // namespace
