// The srv_ services that need no procedure: memory, the host log, server
// properties and failure injection.
#include <atomic>
#include <cstring>
#include <thread>

#include "host_test_support.h"

namespace {

using host_test::HostTest;
using velsrv::FailRule;

using host_memory = HostTest;

TEST_F(host_memory, BlocksAreCountedUntilFreedAndOnlyOnce) {
  const int64_t before = host().outstanding_blocks();
  void* a = srv_alloc(10);
  void* b = srv_alloc(0);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(host().outstanding_blocks(), before + 2);

  EXPECT_EQ(srv_free(a), VEL_SUCCEED);
  EXPECT_EQ(srv_free(a), VEL_FAIL);  // twice
  int on_stack = 0;
  EXPECT_EQ(srv_free(&on_stack), VEL_FAIL);  // never ours
  EXPECT_EQ(srv_free(b), VEL_SUCCEED);
  EXPECT_EQ(host().outstanding_blocks(), before);
}

TEST_F(host_memory, FreshMemoryIsNotZeroedAndReallocKeepsTheContents) {
  auto* block = static_cast<char*>(srv_alloc(8));
  ASSERT_NE(block, nullptr);
  EXPECT_NE(block[0], 0);  // users must clear what they rely on
  EXPECT_EQ(srv_bzero(block, 8), VEL_SUCCEED);
  EXPECT_EQ(std::memcmp(block, "\0\0\0\0\0\0\0\0", 8), 0);
  EXPECT_EQ(srv_bzero(block, 9), VEL_FAIL);  // past the end of the block
  std::memcpy(block, "abcdefgh", 8);

  auto* grown = static_cast<char*>(srv_realloc(block, 4096));
  ASSERT_NE(grown, nullptr);
  EXPECT_EQ(std::memcmp(grown, "abcdefgh", 8), 0);
  EXPECT_EQ(host().outstanding_blocks(), 1);
  EXPECT_EQ(srv_free(grown), VEL_SUCCEED);
  EXPECT_EQ(host().outstanding_blocks(), 0);
}

TEST_F(host_memory, ReallocOfNullAllocatesAndBadArgumentsFail) {
  void* block = srv_realloc(nullptr, 16);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(host().outstanding_blocks(), 1);
  EXPECT_EQ(srv_realloc(block, -1), nullptr);
  EXPECT_EQ(host().outstanding_blocks(), 1);  // the block is still there
  EXPECT_EQ(srv_free(block), VEL_SUCCEED);
  EXPECT_EQ(srv_realloc(block, 32), nullptr);  // freed already
  EXPECT_EQ(srv_alloc(-1), nullptr);
  EXPECT_EQ(srv_bzero(nullptr, 4), VEL_FAIL);
  char local[4];
  EXPECT_EQ(srv_bzero(local, sizeof local), VEL_SUCCEED);  // any caller's buffer
}

using host_log = HostTest;

TEST_F(host_log, LinesAreKeptExactly) {
  EXPECT_EQ(srv_log(nullptr, 1, "Velmail: Cannot load msg dll.\n", VEL_NULLTERM), VEL_SUCCEED);
  EXPECT_EQ(srv_log(nullptr, 1, "counted text, not all of it", 7), VEL_SUCCEED);
  EXPECT_EQ(srv_log(nullptr, 1, nullptr, VEL_NULLTERM), VEL_FAIL);
  EXPECT_EQ(srv_log(nullptr, 1, "x", -2), VEL_FAIL);
  EXPECT_EQ(host().log(), (std::vector<std::string>{"Velmail: Cannot load msg dll.\n", "counted"}));
  host().ClearRecords();
  EXPECT_TRUE(host().log().empty());
}

using host_properties = HostTest;

TEST_F(host_properties, AThreadServingNoClientGetsANullCaller) {
  srv_proc* current = reinterpret_cast<srv_proc*>(&current);
  EXPECT_EQ(srv_props(nullptr, VEL_GET, VEL_PROP_CURRENT_THREAD, &current, sizeof current, nullptr),
            VEL_SUCCEED);
  EXPECT_EQ(current, nullptr);
  // Too small for a handle, a set, an unknown property: refused.
  char small[2];
  EXPECT_EQ(srv_props(nullptr, VEL_GET, VEL_PROP_CURRENT_THREAD, small, sizeof small, nullptr),
            VEL_FAIL);
  EXPECT_EQ(srv_props(nullptr, VEL_SET, VEL_PROP_CURRENT_THREAD, &current, sizeof current, nullptr),
            VEL_FAIL);
  EXPECT_EQ(srv_props(nullptr, VEL_GET, 999, &current, sizeof current, nullptr), VEL_FAIL);
}

TEST_F(host_properties, InterfacesFilePathIsTerminatedAndMustFit) {
  char path[260];
  int32_t outlen = 0;
  ASSERT_EQ(srv_props(nullptr, VEL_GET, VEL_PROP_IFILE_PATH, path, sizeof path, &outlen),
            VEL_SUCCEED);
  EXPECT_STREQ(path, "/tmp/velhost/interfaces");
  const auto needed = static_cast<int32_t>(std::strlen("/tmp/velhost/interfaces") + 1);
  EXPECT_EQ(srv_props(nullptr, VEL_GET, VEL_PROP_IFILE_PATH, path, needed, nullptr), VEL_SUCCEED);
  EXPECT_EQ(srv_props(nullptr, VEL_GET, VEL_PROP_IFILE_PATH, path, needed - 1, nullptr), VEL_FAIL);
}

using host_failures = HostTest;

TEST_F(host_failures, TheNthCallFailsForCountCallsCountedFromTheRule) {
  void* early = srv_alloc(1);  // before the rule: not counted by it
  host().Fail(FailRule{"srv_alloc", 2, 2});
  std::vector<bool> got;
  std::vector<void*> blocks;
  for (int i = 0; i < 5; ++i) {
    void* block = srv_alloc(4);
    got.push_back(block != nullptr);
    if (block != nullptr) blocks.push_back(block);
  }
  EXPECT_EQ(got, (std::vector<bool>{true, false, false, true, true}));
  EXPECT_EQ(host().CallCount("srv_alloc"), 6);
  EXPECT_EQ(host().outstanding_blocks(), 4);  // a failed call has no effect
  for (void* block : blocks) srv_free(block);
  srv_free(early);
  EXPECT_EQ(host().CallCount("srv_free"), 4);
}

TEST_F(host_failures, CountMinusOneFailsEveryCallFromTheNthUntilCleared) {
  host().Fail(FailRule{"srv_log", 3, -1});
  std::vector<int32_t> results;
  for (int i = 0; i < 6; ++i) results.push_back(srv_log(nullptr, 1, "line", VEL_NULLTERM));
  EXPECT_EQ(results, (std::vector<int32_t>{1, 1, 0, 0, 0, 0}));
  EXPECT_EQ(host().log().size(), 2u);
  host().ClearFailures();
  EXPECT_EQ(srv_log(nullptr, 1, "line", VEL_NULLTERM), VEL_SUCCEED);
  EXPECT_EQ(host().CallCount("srv_log"), 7);
}

TEST_F(host_failures, AKeyNarrowsTheRuleToOneProperty) {
  host().Fail(FailRule{"srv_props", 1, -1, VEL_PROP_IFILE_PATH});
  char buf[260];
  EXPECT_EQ(srv_props(nullptr, VEL_GET, VEL_PROP_CURRENT_THREAD, buf, sizeof buf, nullptr),
            VEL_SUCCEED);
  EXPECT_EQ(srv_props(nullptr, VEL_GET, VEL_PROP_IFILE_PATH, buf, sizeof buf, nullptr), VEL_FAIL);
  EXPECT_EQ(srv_props(nullptr, VEL_GET, VEL_PROP_CURRENT_THREAD, buf, sizeof buf, nullptr),
            VEL_SUCCEED);
  EXPECT_EQ(host().CallCount("srv_props"), 3);
}

TEST_F(host_failures, RulesAndCountsHoldAcrossThreads) {
  host().Fail(FailRule{"srv_bzero", 1, 100});
  std::vector<std::thread> threads;
  std::atomic<int> failed{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&failed] {
      char buf[4];
      for (int i = 0; i < 50; ++i) {
        if (srv_bzero(buf, sizeof buf) == VEL_FAIL) ++failed;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(host().CallCount("srv_bzero"), 200);
  EXPECT_EQ(failed.load(), 100);
}

}  // namespace
