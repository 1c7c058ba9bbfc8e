// Connections: the interfaces file, properties, life cycle and failure
// rules of the connection and command calls.
#include <functional>

#include "client_test_support.h"

namespace {

using velct_test::ClientContext;
using velct_test::Connection;
using velct_test::RunSql;

class ClientConnection : public velct_test::ClientTest {};

TEST_F(ClientConnection, InterfacesFileFormat) {
  velct_test::TempDir elsewhere;
  RunSql(elsewhere.File("abs.db"), "create table w(x); insert into w values ('absolute');");
  ClientContext context(
      "# comment line\n"
      "\n"
      "   REL   sqlite   data/rel db.db  \n"
      "ABS sqlite " +
      elsewhere.File("abs.db") +
      "\n"
      "BAD sqlite\n"
      "BAD2 mysql x\n"
      "BAD3 postgres   \n"
      "REL sqlite shadowed.db\n");
  std::filesystem::create_directories(context.dir().path() / "data");
  RunSql(context.dir().File("data/rel db.db"),
         "create table w(x); insert into w values ('relative');");

  Connection rel(context.get(), "REL");
  EXPECT_EQ(rel.Run("select x from w"), "row[x:0:255] | (relative) | done(1) | end")
      << "relative to the file's directory, blanks inside the path kept, first entry wins";
  Connection abs(context.get(), "ABS");
  EXPECT_EQ(abs.Run("select x from w"), "row[x:0:255] | (absolute) | done(1) | end");

  Connection bad(context.get());
  EXPECT_EQ(bad.Connect("BAD"), 0);
  EXPECT_EQ(bad.Connect("BAD2"), 0);
  EXPECT_EQ(bad.Connect("BAD3"), 0) << "postgres needs a connection string";
  EXPECT_EQ(bad.Connect("comment"), 0);
  ASSERT_EQ(bad.recorder().events.size(), 4u);
  EXPECT_NE(bad.recorder().events[0].find("line 5"), std::string::npos) << bad.recorder().events[0];
  EXPECT_NE(bad.recorder().events[1].find("line 6"), std::string::npos);
  EXPECT_NE(bad.recorder().events[2].find("line 7"), std::string::npos);
}

TEST_F(ClientConnection, DefaultDatabaseIsCreatedWhenMissing) {
  ClientContext context("SRV sqlite fresh.db\nNODIR sqlite no/such/dir/x.db\n");
  Connection con(context.get(), "SRV");
  EXPECT_TRUE(std::filesystem::exists(context.dir().File("fresh.db")));
  Connection nodir(context.get());
  EXPECT_EQ(nodir.Connect("NODIR"), 0);
  ASSERT_EQ(nodir.recorder().client_messages.size(), 1u);
  EXPECT_EQ(nodir.recorder().client_messages[0].msgnumber, velct::kMsgCannotConnect.packed());
}

TEST_F(ClientConnection, PropertiesAndAnyLogin) {
  ClientContext context("SRV sqlite master.db\n");
  cs_connection* con = nullptr;
  ASSERT_EQ(ct_con_alloc(context.get(), &con), 1);
  int one = 1;
  EXPECT_EQ(ct_con_props(con, VEL_SET, VEL_PROP_9136, &one, VEL_UNUSED, nullptr), 1);
  EXPECT_EQ(ct_con_props(con, VEL_SET, VEL_PROP_USERNAME, const_cast<char*>("velmail"),
                         VEL_NULLTERM, nullptr),
            1);
  EXPECT_EQ(ct_con_props(con, VEL_SET, VEL_PROP_PASSWORD, const_cast<char*>("guestXX"), 5, nullptr),
            1);
  char buffer[64];
  void* pointer = buffer;
  EXPECT_EQ(ct_con_props(con, VEL_SET, VEL_PROP_USERDATA, &pointer, sizeof pointer, nullptr), 1);

  void* back = nullptr;
  int32_t outlen = 0;
  EXPECT_EQ(ct_con_props(con, VEL_GET, VEL_PROP_USERDATA, &back, sizeof back, &outlen), 1);
  EXPECT_EQ(back, static_cast<void*>(buffer)) << "the whole pointer comes back";
  EXPECT_EQ(outlen, static_cast<int32_t>(sizeof(void*)));
  EXPECT_EQ(ct_con_props(con, VEL_GET, VEL_PROP_USERDATA, &back, 2, &outlen), 0);
  char text[16];
  EXPECT_EQ(ct_con_props(con, VEL_GET, VEL_PROP_PASSWORD, text, sizeof text, &outlen), 1);
  EXPECT_STREQ(text, "guest");
  int value = 0;
  EXPECT_EQ(ct_con_props(con, VEL_GET, VEL_PROP_9136, &value, 4, nullptr), 1);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(ct_con_props(con, VEL_SET, 9999, &value, 4, nullptr), 0);
  EXPECT_EQ(ct_con_props(con, 35, VEL_PROP_9136, &value, 4, nullptr), 0);

  // No password is checked.
  EXPECT_EQ(ct_connect(con, "SRV", 3), 1);
  EXPECT_EQ(
      ct_con_props(con, VEL_SET, VEL_PROP_PASSWORD, const_cast<char*>("x"), VEL_NULLTERM, nullptr),
      0)
      << "the login cannot change while connected";
  EXPECT_EQ(ct_close(con, VEL_FORCE_CLOSE), 1);
  EXPECT_EQ(ct_con_drop(con), 1);
}

TEST_F(ClientConnection, LifeCycle) {
  const int64_t connections = velct::LiveConnections();
  ClientContext context("SRV sqlite master.db\n");
  cs_connection* con = nullptr;
  ASSERT_EQ(ct_con_alloc(context.get(), &con), 1);
  EXPECT_EQ(ct_close(con, VEL_UNUSED), 0) << "not connected";
  EXPECT_EQ(ct_close(con, VEL_FORCE_CLOSE), 1) << "harmless under force";
  ASSERT_EQ(ct_connect(con, "SRV", VEL_NULLTERM), 1);
  cs_command* cmd = nullptr;
  ASSERT_EQ(ct_cmd_alloc(con, &cmd), 1);
  ASSERT_EQ(ct_command(cmd, VEL_LANG_CMD, "select 1", VEL_NULLTERM, VEL_UNUSED), 1);
  ASSERT_EQ(ct_send(cmd), 1);
  EXPECT_EQ(ct_command(cmd, VEL_LANG_CMD, "select 2", VEL_NULLTERM, VEL_UNUSED), 0)
      << "results pending";
  EXPECT_EQ(ct_close(con, VEL_UNUSED), 0) << "results pending";
  EXPECT_EQ(ct_exit(context.get(), VEL_UNUSED), 0) << "a connection is open";
  EXPECT_EQ(ct_close(con, VEL_FORCE_CLOSE), 1);
  int32_t type = 0;
  EXPECT_EQ(ct_results(cmd, &type), 0) << "closing ended the results";
  ASSERT_EQ(ct_command(cmd, VEL_LANG_CMD, "select 2", VEL_NULLTERM, VEL_UNUSED), 1);
  EXPECT_EQ(ct_send(cmd), 0) << "not connected";
  ASSERT_EQ(ct_connect(con, "SRV", VEL_NULLTERM), 1) << "a closed connection connects again";
  EXPECT_EQ(ct_send(cmd), 1);
  EXPECT_EQ(velct::LiveConnections(), connections + 1);
  EXPECT_EQ(velct::LiveCommands(), 1);

  EXPECT_EQ(ct_exit(context.get(), VEL_FORCE_EXIT), 1);
  EXPECT_EQ(velct::LiveConnections(), connections) << "force closes and drops connections";
  EXPECT_EQ(velct::LiveCommands(), 0);
  EXPECT_EQ(ct_send(cmd), 0) << "the handle is gone";
}

// Each call fails on demand without effect: the next call does what the
// failed one would have done.
TEST_F(ClientConnection, EachCallFailsOnDemandWithoutEffect) {
  velct::RegisterServer(
      velct::Script("SRV").Rows({velct::Col::Int("n")}).Row({1}).Row({2}).Done(2));
  ClientContext context;
  Connection con(context.get());
  const auto once = [](const char* function, const std::function<int32_t()>& call) {
    SCOPED_TRACE(function);
    velct::Fail(function);
    EXPECT_EQ(call(), 0);
    const int32_t result = call();
    EXPECT_NE(result, 0);
    return result;
  };
  once("ct_connect", [&] { return con.Connect("SRV"); });
  cs_command* cmd = nullptr;
  once("ct_cmd_alloc", [&] { return ct_cmd_alloc(con.get(), &cmd); });
  EXPECT_EQ(velct::LiveCommands(), 1);
  once("ct_command", [&] { return ct_command(cmd, VEL_LANG_CMD, "q", VEL_NULLTERM, VEL_UNUSED); });
  once("ct_send", [&] { return ct_send(cmd); });
  EXPECT_EQ(velct::ReceivedBatches("SRV").size(), 1u);
  int32_t type = 0, n = 0, count = 0;
  once("ct_results", [&] { return ct_results(cmd, &type); });
  EXPECT_EQ(type, VEL_ROW_RESULT);
  once("ct_res_info", [&] { return ct_res_info(cmd, VEL_NUMDATA, &count, VEL_UNUSED, nullptr); });
  EXPECT_EQ(count, 1);
  cs_datafmt fmt{};
  once("ct_describe", [&] { return ct_describe(cmd, 1, &fmt); });
  once("ct_bind", [&] { return ct_bind(cmd, 1, &fmt, &n, nullptr, nullptr); });
  once("ct_fetch", [&] { return ct_fetch(cmd, VEL_UNUSED, VEL_UNUSED, VEL_UNUSED, nullptr); });
  EXPECT_EQ(n, 1) << "the failed fetch skipped no row";
  once("ct_cancel", [&] { return ct_cancel(nullptr, cmd, VEL_CANCEL_ALL); });
  EXPECT_EQ(ct_results(cmd, &type), 0) << "cancelled";
  once("ct_cmd_drop", [&] { return ct_cmd_drop(cmd); });
  once("ct_close", [&] { return ct_close(con.get(), VEL_FORCE_CLOSE); });
  once("ct_con_props",
       [&] { return ct_con_props(con.get(), VEL_SET, VEL_PROP_9136, &n, 4, nullptr); });
  cs_connection* spare = nullptr;
  once("ct_con_alloc", [&] { return ct_con_alloc(context.get(), &spare); });
  once("ct_con_drop", [&] { return ct_con_drop(spare); });
  EXPECT_EQ(velct::CallCount("ct_con_drop"), 2);
}

}  // namespace
