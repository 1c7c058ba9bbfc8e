// The client library over SQLite, through the C entry points: statements
// and batches, database switches, datatypes, truncation, bindings, cancel.
#include <cstring>
#include <string>

#include "client_test_support.h"

namespace {

using velct_test::ClientContext;
using velct_test::Connection;
using velct_test::RunSql;

class ClientSqlite : public velct_test::ClientTest {
 protected:
  ClientSqlite() : context_("# test servers\nSRV sqlite master.db\n") {}
  std::string Db(const std::string& name) const { return context_.dir().File(name + ".db"); }
  cs_context* ctx() const { return context_.get(); }

  ClientContext context_;
};

// A command on which a batch has been sent and its first result read.
struct SentCommand {
  SentCommand(Connection& con, const std::string& batch) {
    EXPECT_EQ(ct_cmd_alloc(con.get(), &cmd), 1);
    EXPECT_EQ(ct_command(cmd, VEL_LANG_CMD, batch.c_str(), VEL_NULLTERM, VEL_UNUSED), 1);
    EXPECT_EQ(ct_send(cmd), 1);
    EXPECT_EQ(ct_results(cmd, &type), 1);
  }
  ~SentCommand() { ct_cmd_drop(cmd); }
  int32_t Fetch() { return ct_fetch(cmd, VEL_UNUSED, VEL_UNUSED, VEL_UNUSED, nullptr); }

  cs_command* cmd = nullptr;
  int32_t type = 0;
};

// One bound buffer with its lengths, preset to recognisable values.
struct Bound {
  explicit Bound(int32_t datatype, int32_t maxlength) {
    fmt.datatype = datatype;
    fmt.maxlength = maxlength;
    std::memset(value, '#', sizeof value);
  }
  int32_t Bind(cs_command* cmd, int32_t item) {
    return ct_bind(cmd, item, &fmt, value, &copied, &indicator);
  }
  std::string text() const { return std::string(value, static_cast<size_t>(copied)); }

  cs_datafmt fmt{};
  char value[512];
  int32_t copied = -7;
  int16_t indicator = -7;
};

TEST_F(ClientSqlite, SelectDescribesColumnsAndDeliversRows) {
  RunSql(Db("master"),
         "create table people(name varchar(30), age integer, score real);"
         "insert into people values ('ann', 31, 2.5), ('bob', 40, null);");
  Connection con(ctx(), "SRV");
  EXPECT_EQ(con.Run("select name, age, score from people order by age"),
            "row[name:0:30,age:8:4,score:10:8] | (ann,31,2.5) | (bob,40,NULL) | done(2) | end");
  EXPECT_EQ(con.Run("select name from people where age > 99"), "row[name:0:30] | done(0) | end");
}

TEST_F(ClientSqlite, StatementsWithoutRowsReportChangedRows) {
  Connection con(ctx(), "SRV");
  EXPECT_EQ(con.Run("create table t(a integer)"), "succeed | done(-1) | end");
  EXPECT_EQ(con.Run("insert into t values (1), (2), (3)"), "succeed | done(3) | end");
  EXPECT_EQ(con.Run("update t set a = a + 10 where a > 1"), "succeed | done(2) | end");
  EXPECT_EQ(con.Run("delete from t where a = 99"), "succeed | done(0) | end");
  EXPECT_EQ(con.Run("select a from t order by a"),
            "row[a:8:4] | (1) | (12) | (13) | done(3) | end");
}

TEST_F(ClientSqlite, BatchGoesOnAfterAnError) {
  Connection con(ctx(), "SRV");
  EXPECT_EQ(con.Run("create table k(id integer primary key);\n"
                    "insert into k values (1);\n"
                    "select * from nosuch;\n"
                    "insert into k values (1);\n"
                    "insert into k values (2);\n"
                    "select count(*) as n from k"),
            "succeed | done(-1) | succeed | done(1) | "
            "srv 20001/16 line 3: no such table: nosuch | fail | done(-1) | "
            "srv 20019/16 line 4: UNIQUE constraint failed: k.id | fail | done(-1) | "
            "succeed | done(1) | row[n:8:4] | (2) | done(1) | end");
  EXPECT_EQ(con.Run("select 1 as a; selec 2; select 3 as c"),
            "row[a:8:4] | (1) | done(1) | srv 20001/16 line 1: near \"selec\": syntax error | "
            "fail | done(-1) | row[c:8:4] | (3) | done(1) | end");
}

TEST_F(ClientSqlite, UseSwitchesToADatabaseBesideTheDefault) {
  RunSql(Db("master"), "create table where_am_i(x); insert into where_am_i values ('master');");
  RunSql(Db("pubs"), "create table where_am_i(x); insert into where_am_i values ('pubs');");
  Connection con(ctx(), "SRV");
  EXPECT_EQ(con.Run("use pubs\nselect x from where_am_i"),
            "srv 5701/10 line 1: Now using database 'pubs'. | succeed | done(-1) | "
            "row[x:0:255] | (pubs) | done(1) | end");
  EXPECT_EQ(con.Run("select x from where_am_i"), "row[x:0:255] | (pubs) | done(1) | end")
      << "the switch lasts beyond its batch";
  EXPECT_EQ(con.Run("use [master]; select x from where_am_i"),
            "srv 5701/10 line 1: Now using database 'master'. | succeed | done(-1) | "
            "row[x:0:255] | (master) | done(1) | end");

  Connection other(ctx(), "SRV");
  EXPECT_EQ(other.Run("select x from where_am_i"), "row[x:0:255] | (master) | done(1) | end")
      << "a new connection starts in the default database";
}

TEST_F(ClientSqlite, UseOfAnUnknownDatabaseFailsThatCommandOnly) {
  RunSql(Db("master"), "create table where_am_i(x); insert into where_am_i values ('master');");
  Connection con(ctx(), "SRV");
  EXPECT_EQ(con.Run("use nowhere\nselect x from where_am_i"),
            "srv 20100/16 line 1: Database 'nowhere' does not exist. | fail | done(-1) | "
            "row[x:0:255] | (master) | done(1) | end");
  EXPECT_EQ(con.Run("use ../master"),
            "srv 20100/16 line 1: Database '../master' is not a database name. | fail | "
            "done(-1) | end");
  EXPECT_FALSE(std::filesystem::exists(Db("nowhere"))) << "use creates no database";
}

// Declared types and, without one, the first row's values decide the
// description; every value arrives as text when bound as character.
TEST_F(ClientSqlite, DatatypeMatrix) {
  RunSql(Db("master"),
         "create table m(i integer, r real, t text, b blob, c varchar(12), n numeric, u);"
         "insert into m values (7, 1.25, 'long text', x'00ff41', 'abc', null, 'untyped');");
  Connection con(ctx(), "SRV");
  EXPECT_EQ(con.Run("select * from m"),
            "row[i:8:4,r:10:8,t:4:32768,b:5:32768,c:0:12,n:0:255,u:0:255] | "
            "(7,1.25,long text,00FF41,abc,NULL,untyped) | done(1) | end");
  EXPECT_EQ(con.Run("select 5 as ei, 0.5 as er, 'str' as es, x'0102' as eb, null as en, "
                    "zeroblob(300) as big"),
            "row[ei:8:4,er:10:8,es:0:255,eb:19:255,en:0:255,big:5:32768] | "
            "(5,0.5,str,0102,NULL," +
                std::string(255, '0') + ") | done(1) | end")
      << "a hex form longer than the buffer is cut to it";
}

TEST_F(ClientSqlite, ValuesArriveInTheBoundDatatype) {
  RunSql(Db("master"),
         "create table m(i integer, r real, t text, b blob);"
         "insert into m values (7, 1.25, 'some text', x'00ff41');");
  Connection con(ctx(), "SRV");
  SentCommand sent(con, "select i, r, t, b, i, t from m");
  Bound as_int(VEL_INT_TYPE, 4), as_float(VEL_FLOAT_TYPE, 8), as_text(VEL_TEXT_TYPE, 100),
      as_image(VEL_IMAGE_TYPE, 100), int_as_binary(VEL_VARBINARY_TYPE, 100),
      text_as_int(VEL_INT_TYPE, 4);
  ASSERT_EQ(as_int.Bind(sent.cmd, 1), 1);
  ASSERT_EQ(as_float.Bind(sent.cmd, 2), 1);
  ASSERT_EQ(as_text.Bind(sent.cmd, 3), 1);
  ASSERT_EQ(as_image.Bind(sent.cmd, 4), 1);
  ASSERT_EQ(int_as_binary.Bind(sent.cmd, 5), 1);
  ASSERT_EQ(text_as_int.Bind(sent.cmd, 6), 1);
  ASSERT_EQ(sent.Fetch(), 1);

  int32_t i = 0;
  std::memcpy(&i, as_int.value, sizeof i);
  EXPECT_EQ(i, 7);
  EXPECT_EQ(as_int.copied, 4);
  double r = 0;
  std::memcpy(&r, as_float.value, sizeof r);
  EXPECT_EQ(r, 1.25);
  EXPECT_EQ(as_text.text(), "some text");
  EXPECT_EQ(as_image.text(), std::string("\x00\xff\x41", 3)) << "binary bytes unconverted";
  EXPECT_EQ(int_as_binary.text(), "7");
  EXPECT_EQ(con.recorder().client_messages.size(), 1u);
  EXPECT_EQ(con.recorder().client_messages.at(0).msgnumber, velct::kMsgConversion.packed())
      << "'some text' is no integer";
  EXPECT_EQ(sent.Fetch(), VEL_END_DATA);
}

TEST_F(ClientSqlite, LongValuesAreCutAndTheIndicatorHoldsTheFullLength) {
  RunSql(Db("master"),
         "create table v(s varchar(40), n integer, b varbinary(400));"
         "insert into v values ('abcdefghij', 123456, zeroblob(300));"
         "insert into v values ('ab', 1, x'01');");
  Connection con(ctx(), "SRV");
  SentCommand sent(con, "select s, n, b from v order by n desc");
  Bound s(VEL_CHAR_TYPE, 4), n(VEL_CHAR_TYPE, 3), b(VEL_VARBINARY_TYPE, 255);
  ASSERT_EQ(s.Bind(sent.cmd, 1), 1);
  ASSERT_EQ(n.Bind(sent.cmd, 2), 1);
  ASSERT_EQ(b.Bind(sent.cmd, 3), 1);

  ASSERT_EQ(sent.Fetch(), 1) << "a cut value is no fetch failure";
  EXPECT_EQ(s.text(), "abcd");
  EXPECT_EQ(s.indicator, 10);
  EXPECT_EQ(s.value[4], '#') << "nothing written past the maximum length";
  EXPECT_EQ(n.text(), "123");
  EXPECT_EQ(n.indicator, 6);
  EXPECT_EQ(b.copied, 255);
  EXPECT_EQ(b.indicator, 300);

  ASSERT_EQ(sent.Fetch(), 1);
  EXPECT_EQ(s.text(), "ab");
  EXPECT_EQ(s.indicator, 0);
  EXPECT_EQ(b.text(), "\x01");
  EXPECT_EQ(b.indicator, 0);
  EXPECT_TRUE(con.recorder().events.empty());
}

TEST_F(ClientSqlite, BindingItemUnusedDropsEveryBinding) {
  RunSql(Db("master"),
         "create table p(a, b); insert into p values ('a1','b1'),('a2','b2'),('a3','b3');");
  Connection con(ctx(), "SRV");
  SentCommand sent(con, "select a, b from p order by a");
  Bound a(VEL_CHAR_TYPE, 10), b(VEL_CHAR_TYPE, 10);
  ASSERT_EQ(a.Bind(sent.cmd, 1), 1);
  ASSERT_EQ(b.Bind(sent.cmd, 2), 1);
  ASSERT_EQ(sent.Fetch(), 1);
  EXPECT_EQ(a.text() + b.text(), "a1b1");

  EXPECT_EQ(ct_bind(sent.cmd, VEL_UNUSED, nullptr, nullptr, nullptr, nullptr), 1);
  ASSERT_EQ(sent.Fetch(), 1);
  EXPECT_EQ(a.text() + b.text(), "a1b1") << "unbound columns receive nothing";

  ASSERT_EQ(b.Bind(sent.cmd, 2), 1);
  ASSERT_EQ(sent.Fetch(), 1);
  EXPECT_EQ(a.text() + b.text(), "a1b3");
  EXPECT_EQ(sent.Fetch(), VEL_END_DATA);
}

TEST_F(ClientSqlite, CancelInTheMiddleOfRowsEndsTheResults) {
  RunSql(Db("master"),
         "create table c(n); with recursive s(n) as (select 1 union all select n + 1 from s "
         "where n < 10) insert into c select n from s;");
  Connection con(ctx(), "SRV");
  {
    SentCommand sent(con, "select n from c; select 'second'");
    Bound n(VEL_CHAR_TYPE, 10);
    ASSERT_EQ(n.Bind(sent.cmd, 1), 1);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(sent.Fetch(), 1);
    int32_t count = 0;
    EXPECT_EQ(ct_res_info(sent.cmd, VEL_ROW_COUNT, &count, VEL_UNUSED, nullptr), 1);
    EXPECT_EQ(count, 3) << "rows fetched so far";

    EXPECT_EQ(ct_cancel(con.get(), sent.cmd, VEL_CANCEL_ALL), 1);
    EXPECT_EQ(sent.Fetch(), VEL_FAIL);
    int32_t type = 0;
    EXPECT_EQ(ct_results(sent.cmd, &type), VEL_FAIL) << "the second statement is gone too";
    ASSERT_EQ(con.recorder().client_messages.size(), 2u);
    EXPECT_EQ(con.recorder().client_messages[0].msgnumber, velct::kMsgOutOfSequence.packed());

    // The command takes the next batch.
    ASSERT_EQ(
        ct_command(sent.cmd, VEL_LANG_CMD, "select count(*) from c", VEL_NULLTERM, VEL_UNUSED), 1);
    ASSERT_EQ(ct_send(sent.cmd), 1);
    ASSERT_EQ(ct_results(sent.cmd, &type), 1);
    ASSERT_EQ(n.Bind(sent.cmd, 1), 1);
    ASSERT_EQ(sent.Fetch(), 1);
    EXPECT_EQ(n.text(), "10");
  }
  {
    // Cancelling through the connection alone ends its commands' results.
    SentCommand sent(con, "select n from c");
    EXPECT_EQ(ct_cancel(con.get(), nullptr, VEL_CANCEL_ALL), 1);
    EXPECT_EQ(sent.Fetch(), VEL_FAIL);
  }
  EXPECT_EQ(con.Run("select count(*) as n from c"), "row[n:8:4] | (10) | done(1) | end");
}

TEST_F(ClientSqlite, ResultsWaitUntilTheRowsAreFetched) {
  Connection con(ctx(), "SRV");
  SentCommand sent(con, "select 1 union select 2");
  int32_t type = 0;
  EXPECT_EQ(ct_results(sent.cmd, &type), VEL_FAIL);
  ASSERT_EQ(sent.Fetch(), 1) << "unbound, the row is still read";
  ASSERT_EQ(sent.Fetch(), 1);
  ASSERT_EQ(sent.Fetch(), VEL_END_DATA);
  EXPECT_EQ(sent.Fetch(), VEL_END_DATA);
  ASSERT_EQ(ct_results(sent.cmd, &type), 1);
  EXPECT_EQ(type, VEL_CMD_DONE);
  EXPECT_EQ(ct_results(sent.cmd, &type), VEL_END_RESULTS);
  EXPECT_EQ(ct_results(sent.cmd, &type), VEL_FAIL) << "nothing is sent any more";
}

}  // namespace

namespace {

std::vector<int64_t> g_progress_seen;
void RecordProgress(int64_t rows) { g_progress_seen.push_back(rows); }

TEST_F(ClientSqlite, LongFetchesReportProgressEveryNRows) {
  RunSql(Db("master"),
         "create table n(v integer);"
         "with recursive c(x) as (select 1 union all select x + 1 from c where x < 25) "
         "insert into n select x from c;");
  Connection con(ctx(), "SRV");
  g_progress_seen.clear();
  velct::SetFetchProgress(&RecordProgress, 10);
  {
    SentCommand sent(con, "select v from n");
    Bound v(VEL_CHAR_TYPE, 16);
    ASSERT_EQ(v.Bind(sent.cmd, 1), 1);
    int rows = 0;
    while (sent.Fetch() == 1) ++rows;
    EXPECT_EQ(rows, 25);
  }
  velct::SetFetchProgress(nullptr, 0);
  EXPECT_EQ(g_progress_seen, (std::vector<int64_t>{10, 20}));
}

}  // namespace
