#include "velmail_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include "platform.h"

namespace veltest {

std::string LibDir() {
  const char* dir = std::getenv("VEL_LIB_DIR");
  return dir != nullptr ? dir : VEL_BUILD_LIB_DIR;
}

std::string LibPath(const std::string& file) { return LibDir() + "/" + file; }

velsrv::RouteArg T(const std::string& text) {
  velsrv::RouteArg arg;
  arg.is_text = true;
  arg.text = text;
  return arg;
}

velsrv::RouteArg N(int32_t number) {
  velsrv::RouteArg arg;
  arg.number = number;
  return arg;
}

std::ostream& operator<<(std::ostream& out, const Routed& routed) {
  out << "{" << routed.msgnum << ", routing " << routed.routing << ",";
  for (const auto& arg : routed.args) {
    if (arg.is_text) {
      out << " \"" << arg.text << "\"";
    } else {
      out << " " << arg.number;
    }
  }
  return out << "}";
}

std::vector<Routed> Simplify(const std::vector<velsrv::RoutedMessage>& messages) {
  std::vector<Routed> out;
  for (const auto& m : messages) out.push_back({m.msgnum, m.routing, m.args});
  return out;
}

void VelmailTest::SetUp() {
  // Test cases run as parallel processes: each needs a directory of its own.
  std::random_device random;
  dir_ = std::filesystem::temp_directory_path() /
         ("velmail-test-" + std::to_string(random()) + "-" + std::to_string(random()));
  std::filesystem::remove_all(dir_);
  std::filesystem::create_directories(dir_);
#if defined(_WIN32)
  // Windows reads the one win.ini of its own directory: the tests take
  // turns at it (ctest's lock on it) and put it back as they found it.
  win_ini_ = std::filesystem::path(std::getenv("WINDIR")) / "win.ini";
  std::ifstream saved(win_ini_, std::ios::binary);
  had_win_ini_ = static_cast<bool>(saved);
  if (had_win_ini_) saved_win_ini_.assign(std::istreambuf_iterator<char>(saved), {});
#else
  win_ini_ = dir_ / "win.ini";
  vel::os::SetEnvironmentVariable("WINDIR", dir_.string().c_str());
#endif
  vel::os::SetEnvironmentVariable("VELMAIL_TIMEOUT", nullptr);
  vel::os::SetEnvironmentVariable("VELMAIL_CLIENT", nullptr);
  WriteWinIni(ModuleFile("veltestcmc").c_str());
  testcmc::Reset();
  velct::ClearFailures();
  options_.library = LibPath(ModuleFile("velmail"));
  options_.message_library = LibPath(ModuleFile("velmsgs"));
  options_.interfaces_file = (dir_ / "interfaces").string();
}

void VelmailTest::TearDown() {
  testcmc::Release();
  // Calls given up while they hung end once released; let them leave
  // before the process does.
  for (const auto& call : testcmc::Calls()) {
    if (!call.finished) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      break;
    }
  }
  DestroyHost();
  testcmc::Release();
  std::error_code ignored;
#if defined(_WIN32)
  if (had_win_ini_) {
    std::ofstream(win_ini_, std::ios::binary) << saved_win_ini_;
  } else {
    std::filesystem::remove(win_ini_, ignored);
  }
#endif
  std::filesystem::remove_all(dir_, ignored);
}

void VelmailTest::WriteWinIni(const char* provider_file) {
  if (provider_file == nullptr) {
    std::filesystem::remove(win_ini_);
    return;
  }
  std::string name = provider_file;
  if (!name.empty() && !std::filesystem::path(name).has_parent_path()) name = LibPath(name);
  WriteWinIniRaw(name.empty() ? "[Mail]\nOther=1\n" : "[Mail]\nCMCDLLNAME32=" + name + "\n");
}

void VelmailTest::WriteWinIniRaw(const std::string& text) { std::ofstream(win_ini_) << text; }

velsrv::Host& VelmailTest::host() {
  if (host_ == nullptr) {
    host_ = std::make_unique<velsrv::Host>(options_);
    client_ = &host_->NewClient();
  }
  return *host_;
}

velsrv::Client& VelmailTest::client() {
  host();
  return *client_;
}

void VelmailTest::DestroyHost() {
  host_.reset();
  client_ = nullptr;
}

void VelmailTest::StartMail(velsrv::Client& on) {
  velsrv::CallResult result = on.Call("xp_startmail", {Text("@mail_user", "u")});
  ExpectSucceeded(result);
}

testcmc::Call LastCall(const std::string& entry) {
  testcmc::Call last;
  for (const auto& call : testcmc::Calls()) {
    if (call.entry == entry) last = call;
  }
  return last;
}

int32_t AsInt(const velsrv::OutputValue& value) {
  int32_t n = 0;
  memcpy(&n, value.value.data(), std::min<size_t>(value.value.size(), sizeof(n)));
  return n;
}

velsrv::RpcParam Text(const std::string& name, const std::string& value) {
  return velsrv::RpcParam::Text(name, value);
}

velsrv::RpcParam Int(const std::string& name, int32_t value) {
  return velsrv::RpcParam::Int(name, value);
}

void ExpectFailedWithoutStatus(const velsrv::CallResult& result) {
  EXPECT_TRUE(result.found);
  EXPECT_EQ(result.returned, 0);
  EXPECT_TRUE(result.statuses.empty());
}

void ExpectSucceeded(const velsrv::CallResult& result) {
  EXPECT_TRUE(result.found);
  EXPECT_EQ(result.returned, 1);
  ASSERT_EQ(result.statuses.size(), 1u);
  EXPECT_EQ(result.statuses.back(), 0);
  EXPECT_TRUE(result.routed.empty())
      << "first routed: " << (result.routed.empty() ? Routed{} : Simplify(result.routed)[0]);
}

}  // namespace veltest
