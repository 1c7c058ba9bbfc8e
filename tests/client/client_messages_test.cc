// Message callbacks: the records they receive, the thread they run on, the
// client messages of client-side failures, connection and context level.
#include <thread>

#include "client_test_support.h"

namespace {

using velct_test::ClientContext;
using velct_test::Connection;

class ClientMessages : public velct_test::ClientTest {
 protected:
  ClientContext context_{"SRV sqlite master.db\n"};
};

// The four bytes of a client message number, highest first.
std::vector<int> Bytes(const cs_clientmsg& msg) {
  const auto n = static_cast<uint32_t>(msg.msgnumber);
  return {static_cast<int>(n >> 24), static_cast<int>((n >> 16) & 255),
          static_cast<int>((n >> 8) & 255), static_cast<int>(n & 255)};
}

TEST_F(ClientMessages, UnknownServerRaisesAClientMessage) {
  Connection con(context_.get());
  EXPECT_EQ(con.Connect("NOPE"), 0);
  ASSERT_EQ(con.recorder().client_messages.size(), 1u);
  const cs_clientmsg& msg = con.recorder().client_messages[0];
  EXPECT_EQ(Bytes(msg), (std::vector<int>{2, 1, 5, 3}));
  EXPECT_EQ(msg.severity, 5);
  const std::string text(msg.msgstring, static_cast<size_t>(msg.msgstringlen));
  EXPECT_NE(text.find("'NOPE'"), std::string::npos) << text;
  EXPECT_EQ(con.Connect("srv"), 0) << "server names match with case";
  EXPECT_EQ(con.Connect("SRV"), 1);
}

TEST_F(ClientMessages, CallsOutOfSequenceRaiseClientMessages) {
  Connection con(context_.get(), "SRV");
  cs_command* cmd = nullptr;
  ASSERT_EQ(ct_cmd_alloc(con.get(), &cmd), 1);
  int32_t type = 0;
  cs_datafmt fmt{};
  EXPECT_EQ(ct_send(cmd), 0) << "no command initiated";
  EXPECT_EQ(ct_results(cmd, &type), 0) << "nothing sent";
  EXPECT_EQ(ct_describe(cmd, 1, &fmt), 0);
  EXPECT_EQ(ct_fetch(cmd, VEL_UNUSED, VEL_UNUSED, VEL_UNUSED, nullptr), 0);
  EXPECT_EQ(ct_connect(con.get(), "SRV", 3), 0) << "already connected";
  EXPECT_EQ(ct_con_drop(con.get()), 0) << "still connected";
  ASSERT_EQ(con.recorder().client_messages.size(), 6u);
  for (const cs_clientmsg& msg : con.recorder().client_messages)
    EXPECT_EQ(Bytes(msg), (std::vector<int>{1, 1, 1, 1})) << velct_test::Describe(msg);

  ASSERT_EQ(ct_command(cmd, VEL_LANG_CMD, "select 1", VEL_NULLTERM, VEL_UNUSED), 1);
  ASSERT_EQ(ct_send(cmd), 1);
  ASSERT_EQ(ct_results(cmd, &type), 1);
  EXPECT_EQ(ct_describe(cmd, 2, &fmt), 0) << "no second column";
  EXPECT_EQ(ct_res_info(cmd, 801, &type, VEL_UNUSED, nullptr), 0);
  EXPECT_EQ(ct_fetch(cmd, 1, VEL_UNUSED, VEL_UNUSED, nullptr), 0);
  ASSERT_EQ(con.recorder().client_messages.size(), 9u);
  EXPECT_EQ(Bytes(con.recorder().client_messages[6]), (std::vector<int>{1, 1, 1, 2}));
  ct_cmd_drop(cmd);
}

// The callbacks run on the thread whose call raised the message, outside
// the library's lock: they call back in (the recorder is found through
// ct_con_props), and connections on other threads go on meanwhile.
TEST_F(ClientMessages, CallbacksRunOnTheCallingThread) {
  constexpr int kThreads = 4, kRounds = 20;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this] {
      Connection con(context_.get(), "SRV");
      for (int i = 0; i < kRounds; ++i) {
        const std::string got = con.Run("select * from nosuch; use nowhere; select 1 as one");
        EXPECT_EQ(got,
                  "srv 20001/16 line 1: no such table: nosuch | fail | done(-1) | "
                  "srv 20100/16 line 1: Database 'nowhere' does not exist. | fail | done(-1) | "
                  "row[one:8:4] | (1) | done(1) | end");
      }
      EXPECT_EQ(con.Connect("SRV"), 0);
      const auto& seen = con.recorder().callback_threads;
      EXPECT_EQ(seen.size(), 2u * kRounds + 1);
      for (const std::thread::id& id : seen) EXPECT_EQ(id, std::this_thread::get_id());
    });
  }
  for (auto& thread : threads) thread.join();
}

std::vector<std::string>* g_context_messages = nullptr;

int32_t ContextServerMessage(cs_context*, cs_connection*, cs_servermsg* msg) {
  g_context_messages->push_back(velct_test::Describe(*msg));
  return 1;
}

TEST_F(ClientMessages, ContextCallbacksServeConnectionsWithoutTheirOwn) {
  std::vector<std::string> seen;
  g_context_messages = &seen;
  ASSERT_EQ(ct_callback(context_.get(), nullptr, VEL_SET, VEL_CB_SERVERMSG,
                        reinterpret_cast<void*>(&ContextServerMessage)),
            1);
  cs_connection* bare = nullptr;
  ASSERT_EQ(ct_con_alloc(context_.get(), &bare), 1);
  ASSERT_EQ(ct_connect(bare, "SRV", VEL_NULLTERM), 1);
  cs_command* cmd = nullptr;
  ASSERT_EQ(ct_cmd_alloc(bare, &cmd), 1);
  ASSERT_EQ(ct_command(cmd, VEL_LANG_CMD, "use nowhere", VEL_NULLTERM, VEL_UNUSED), 1);
  ASSERT_EQ(ct_send(cmd), 1);
  int32_t type = 0;
  ASSERT_EQ(ct_results(cmd, &type), 1);
  EXPECT_EQ(seen,
            std::vector<std::string>{"srv 20100/16 line 1: Database 'nowhere' does not exist."});

  // A connection's own callback takes precedence.
  Connection own(context_.get(), "SRV");
  EXPECT_EQ(own.Run("use nowhere"),
            "srv 20100/16 line 1: Database 'nowhere' does not exist. | fail | done(-1) | end");
  EXPECT_EQ(seen.size(), 1u);

  void* got = nullptr;
  EXPECT_EQ(ct_callback(nullptr, own.get(), VEL_GET, VEL_CB_SERVERMSG, &got), 1);
  EXPECT_NE(got, nullptr);
  EXPECT_EQ(ct_callback(nullptr, own.get(), VEL_SET, VEL_CB_CHALLENGE, got), 0)
      << "the challenge belongs to the context";
  EXPECT_EQ(ct_close(bare, VEL_FORCE_CLOSE), 1);
  EXPECT_EQ(ct_con_drop(bare), 1);
  g_context_messages = nullptr;
}

TEST_F(ClientMessages, ServerMessageRecordOfTheDatabase) {
  Connection con(context_.get(), "SRV");
  con.Run("\n\nselect nothing from nowhere");
  ASSERT_EQ(con.recorder().server_messages.size(), 1u);
  const cs_servermsg& msg = con.recorder().server_messages[0];
  EXPECT_EQ(msg.line, 3);
  EXPECT_EQ(msg.state, 1);
  EXPECT_EQ(std::string(msg.svrname, static_cast<size_t>(msg.svrnlen)), "SRV");
  EXPECT_EQ(msg.proclen, 0);
  EXPECT_EQ(msg.proc[0], '\0');
}

}  // namespace
