// The srv_ services that need no procedure: memory, the host log, server
// properties and failure injection.
#include <atomic>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "block_tracker.h"
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

// Resizing keeps the contents whether the block is a heap block or whole
// pages (large) before and after, and fresh bytes are marked in both.
TEST_F(host_memory, ResizingAcrossTheLargeBlockSizeKeepsTheContents) {
  using velsrv::internal::BlockTracker;
  constexpr int32_t kSmall = 1000;
  constexpr int32_t kLarge = static_cast<int32_t>(BlockTracker::kPagedFrom) * 8;
  auto byte = [](int32_t i) { return static_cast<unsigned char>(i * 7 + i / 251); };
  auto holds = [&](const unsigned char* block, int32_t n) {
    for (int32_t i = 0; i < n; ++i)
      if (block[i] != byte(i)) return ::testing::AssertionFailure() << "byte " << i;
    return ::testing::AssertionSuccess();
  };
  auto* block = static_cast<unsigned char*>(srv_alloc(kSmall));
  ASSERT_NE(block, nullptr);
  for (int32_t i = 0; i < kSmall; ++i) block[i] = byte(i);

  block = static_cast<unsigned char*>(srv_realloc(block, kLarge));  // heap to pages
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(holds(block, kSmall));
  EXPECT_EQ(block[kSmall], BlockTracker::kFreshByte);
  for (int32_t i = kSmall; i < kLarge; ++i) block[i] = byte(i);

  block = static_cast<unsigned char*>(srv_realloc(block, kLarge * 4));  // pages to pages
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(holds(block, kLarge));
  EXPECT_EQ(block[kLarge], BlockTracker::kFreshByte);

  block = static_cast<unsigned char*>(srv_realloc(block, kSmall / 2));  // pages to heap
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(holds(block, kSmall / 2));
  EXPECT_EQ(srv_bzero(block, kSmall / 2 + 1), VEL_FAIL);  // the block is the smaller size now
  EXPECT_EQ(srv_free(block), VEL_SUCCEED);

  auto* fresh = static_cast<unsigned char*>(srv_alloc(kLarge));
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh[0], BlockTracker::kFreshByte);  // not zeroed, large or not
  EXPECT_EQ(srv_free(fresh), VEL_SUCCEED);
  EXPECT_EQ(host().outstanding_blocks(), 0);
}

// The process's resident memory in kB (Linux), 0 when unknown.
int64_t ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
  }
  return 0;
}

// What lets a caller lay a large text out of stored rows in about the
// room of the larger of the two: a large block takes memory only as it is
// written, and gives it back as soon as it is freed, even with a block
// taken after it still held.
TEST_F(host_memory, LargeBlocksTakeMemoryOnlyAsWrittenAndGiveItBackWhenFreed) {
#if defined(_WIN32) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "reads the resident size of a process of its own memory manager (Linux)";
#endif
  if (ResidentKb() == 0) GTEST_SKIP() << "no /proc/self/status";
  constexpr int32_t kMb = 1 << 20;
  constexpr int kChunks = 64;
  srv_free(srv_alloc(kMb));  // a large block freed before, as by an earlier call
  const int64_t start = ResidentKb();

  void* text = srv_alloc(kChunks * kMb);
  ASSERT_NE(text, nullptr);
  EXPECT_LT(ResidentKb() - start, 8 * 1024) << "an unwritten block took memory";

  std::vector<void*> chunks;
  for (int i = 0; i < kChunks; ++i) {
    chunks.push_back(srv_alloc(kMb));
    ASSERT_NE(chunks.back(), nullptr);
    std::memset(chunks.back(), i, kMb);
  }
  void* after = srv_alloc(64);  // taken after the chunks, still held
  ASSERT_NE(after, nullptr);
  const int64_t written = ResidentKb();
  EXPECT_GE(written - start, (kChunks - 8) * 1024);

  for (void* chunk : chunks) EXPECT_EQ(srv_free(chunk), VEL_SUCCEED);
  EXPECT_LT(ResidentKb(), written - (kChunks - 16) * 1024) << "freed blocks kept their memory";
  EXPECT_EQ(srv_free(after), VEL_SUCCEED);
  EXPECT_EQ(srv_free(text), VEL_SUCCEED);
  EXPECT_EQ(host().outstanding_blocks(), 0);
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
