// Shared helpers of the host stand-in's tests.
#ifndef HOST_TEST_SUPPORT_H
#define HOST_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "velsrv_host.h"

namespace host_test {

// Paths of the modules under test, set by the build.
inline const char* FakeLibrary() { return HOST_FAKELIB_PATH; }
inline const char* NoAttachLibrary() { return HOST_NOATTACH_PATH; }
inline const char* MessageLibrary() { return HOST_VELMSGS_PATH; }
inline const char* NoRouteMessageLibrary() { return HOST_VELMSGS_NOROUTE_PATH; }

inline std::string Hex(const std::string& bytes) {
  std::string hex;
  char digits[3];
  for (unsigned char c : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", c);
    hex += digits;
  }
  return hex;
}

// The texts of the forwarded messages with this number, in order.
inline std::vector<std::string> Reports(const velsrv::CallResult& result, int32_t number) {
  std::vector<std::string> texts;
  for (const velsrv::ClientMessage& m : result.messages) {
    if (m.forwarded && m.number == number) texts.push_back(m.text);
  }
  return texts;
}

// What the fake library reports for each parameter it read.
inline std::vector<std::string> Readings(const velsrv::CallResult& result) {
  return Reports(result, 2);
}
// What the fake library reports as failures.
inline std::vector<std::string> Failures(const velsrv::CallResult& result) {
  return Reports(result, 1);
}

inline int Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

// A host running the fake library with the message library loaded.
class HostTest : public ::testing::Test {
 protected:
  static velsrv::HostOptions Options(const std::string& library = FakeLibrary()) {
    velsrv::HostOptions options;
    options.library = library;
    options.message_library = MessageLibrary();
    options.interfaces_file = "/tmp/velhost/interfaces";
    options.server_name = "TESTSERVER";
    return options;
  }

  void SetUp() override { host_ = std::make_unique<velsrv::Host>(Options()); }

  velsrv::Host& host() { return *host_; }

  std::unique_ptr<velsrv::Host> host_;
};

}  // namespace host_test

#endif
