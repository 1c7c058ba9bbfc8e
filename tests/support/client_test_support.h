// What the client-library tests share: a context with an interfaces file in
// a directory of its own, and a connection that runs a batch through the C
// entry points and writes down everything that came back, messages
// included, as one line of text.
#ifndef VELMAIL_TESTS_CLIENT_TEST_SUPPORT_H
#define VELMAIL_TESTS_CLIENT_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "client/velct_control.h"
#include "client/velct_script.h"

namespace velct_test {

// A directory of its own under the temporary directory, removed at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Writes text to a file.
void WriteFile(const std::string& path, const std::string& text);

// Runs SQL on an SQLite file directly (creating it), for setting up
// databases; fails the test on an error.
void RunSql(const std::string& db_file, const std::string& sql);

// A context that ct_init has run on, whose interfaces file is "interfaces"
// in a directory of its own.
class ClientContext {
 public:
  explicit ClientContext(const std::string& interfaces_text = "");
  ~ClientContext();
  cs_context* get() const { return ctx_; }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  cs_context* ctx_ = nullptr;
};

// What the message callbacks saw; found through the connection's user data,
// as the library finds its message buffer.
struct Recorder {
  std::vector<std::string> events;  // messages and results, in order
  std::vector<std::thread::id> callback_threads;
  std::vector<cs_servermsg> server_messages;
  std::vector<cs_clientmsg> client_messages;
};

std::string Describe(const cs_servermsg& msg);
std::string Describe(const cs_clientmsg& msg);

// A connection with both message callbacks and a Recorder; connected on
// construction when a server is given.
class Connection {
 public:
  explicit Connection(cs_context* ctx, const std::string& server = "");
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  cs_connection* get() const { return con_; }
  Recorder& recorder() { return recorder_; }
  int32_t Connect(const std::string& server);

  // Sends one batch and reads all its results; every column is bound as
  // character. The transcript lists, separated by " | ": results
  // ("row[name:type:maxlength,...]", "status[...]", "done(N)", "succeed",
  // "fail", "type N"), rows ("(v1,v2)", NULL as "NULL"), messages
  // ("srv NUMBER/SEVERITY line L: text", "cli L.O.S.N: text") and the end
  // ("end"). A call that fails adds "<call> failed" and ends the batch.
  std::string Run(const std::string& batch);

 private:
  std::string ReadResults(cs_command* cmd);

  cs_connection* con_ = nullptr;
  Recorder recorder_;
};

// A fixture that clears failure rules, scripted servers and call counts
// around a test.
class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    velct::ClearFailures();
    velct::ClearServers();
    velct::ResetCounts();
  }
  void TearDown() override {
    velct::ClearFailures();
    velct::ClearServers();
  }
};

}  // namespace velct_test

#endif
