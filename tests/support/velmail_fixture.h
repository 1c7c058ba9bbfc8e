// The fixture the library's tests share: a host with the message library
// loaded, a win.ini naming the programmable test provider, and helpers to
// compare what the router received.
#ifndef VELMAIL_TESTS_FIXTURE_H
#define VELMAIL_TESTS_FIXTURE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "client/velct_control.h"
#include "hosts/runtime/velsrv_host.h"
#include "module_names.h"
#include "providers/testcmc/testcmc_control.h"

namespace veltest {

// The directory holding the built modules.
std::string LibDir();
std::string LibPath(const std::string& file);

velsrv::RouteArg T(const std::string& text);
velsrv::RouteArg N(int32_t number);

// A routed message as the tests expect it: number, routing value, further
// arguments.
struct Routed {
  int32_t msgnum;
  int32_t routing;
  std::vector<velsrv::RouteArg> args;
  bool operator==(const Routed& other) const {
    return msgnum == other.msgnum && routing == other.routing && args == other.args;
  }
};
std::ostream& operator<<(std::ostream& out, const Routed& routed);
std::vector<Routed> Simplify(const std::vector<velsrv::RoutedMessage>& messages);

class VelmailTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes win.ini with this provider (a file in the lib directory, or a
  // path); an empty name writes a win.ini without the key, and
  // WriteWinIni(nullptr) none at all.
  void WriteWinIni(const char* provider_file);
  void WriteWinIniRaw(const std::string& text);
#if defined(_WIN32)
  // The win.ini the prefix held before the test (it names no provider).
  const std::string& PrefixWinIni() const { return saved_win_ini_; }
#endif

  // The host, made on first use with the current options.
  velsrv::Host& host();
  velsrv::Client& client();  // the first client
  void DestroyHost();

  // Logs on through xp_startmail and expects success.
  void StartMail(velsrv::Client& on);

  velsrv::HostOptions options_;
  std::filesystem::path dir_;
  std::filesystem::path win_ini_;  // the win.ini the library reads

 private:
#if defined(_WIN32)
  bool had_win_ini_ = false;
  std::string saved_win_ini_;  // the prefix's own, put back afterwards
#endif
  std::unique_ptr<velsrv::Host> host_;
  velsrv::Client* client_ = nullptr;
};

// The provider's last recorded call of an entry point (an empty record
// when there was none).
testcmc::Call LastCall(const std::string& entry);

// The integer an output parameter carries.
int32_t AsInt(const velsrv::OutputValue& value);

// RPC parameter shorthands.
velsrv::RpcParam Text(const std::string& name, const std::string& value);
velsrv::RpcParam Int(const std::string& name, int32_t value);

// Every call that failed must send no status.
void ExpectFailedWithoutStatus(const velsrv::CallResult& result);
void ExpectSucceeded(const velsrv::CallResult& result);

}  // namespace veltest

#endif
