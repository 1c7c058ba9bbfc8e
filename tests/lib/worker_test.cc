// The mail worker on its own: request codes, the hand-over under load, and
// cut-off workers. These tests link the library's objects directly.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cmc.h"
#include "frame/errors.h"
#include "frame/srvblock.h"
#include "frame/startup.h"
#include "mapi/cmcbind.h"
#include "mapi/worker.h"
#include "module_names.h"
#include "providers/testcmc/testcmc_control.h"

namespace {

std::string LibDir() {
  const char* dir = std::getenv("VEL_LIB_DIR");
  return dir != nullptr ? dir : VEL_BUILD_LIB_DIR;
}

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testcmc::Reset();
    std::string provider = LibDir() + "/" + veltest::ModuleFile("veltestcmc");
    sm_resetstate();
    snprintf(sm_state.cmcdllname, sizeof(sm_state.cmcdllname), "%s", provider.c_str());
    ASSERT_EQ(sm_loadcmc(nullptr), 1);
    sm_createworkersync();
    sm_state.timeout = 10000;
  }
  void TearDown() override {
    testcmc::Release();
    // Calls given up while they hung end once released; let them leave
    // before the process does.
    for (const auto& call : testcmc::Calls()) {
      if (!call.finished) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        break;
      }
    }
    if (sm_state.thread_id.load() != 0) sm_mailrequest(SM_SHUTDOWN, 0, 0, 0, 0);
    sm_unloadcmc();
    sm_destroyworkersync();
    testcmc::Release();
  }

  // Opens a session: listing needs one.
  static void LogOn() {
    static char user[] = "u", password[] = "p";
    ASSERT_EQ(sm_mailrequest(SM_LOGON, reinterpret_cast<intptr_t>(user),
                             reinterpret_cast<intptr_t>(password), 0, 0),
              0);
  }

  static int32_t List(CMC_uint32* count, CMC_message_summary** result) {
    return sm_mailrequest(SM_LIST, 0, 0, reinterpret_cast<intptr_t>(count),
                          reinterpret_cast<intptr_t>(result));
  }
};

TEST_F(WorkerTest, UnknownRequestCodesGiveAnInternalErrorAndCallNothing) {
  EXPECT_EQ(sm_mailrequest(0, 0, 0, 0, 0), SM_INTERNAL);
  EXPECT_EQ(sm_mailrequest(9, 0, 0, 0, 0), SM_INTERNAL);
  EXPECT_TRUE(testcmc::Calls().empty());
  // The first request started the worker.
  EXPECT_NE(sm_state.thread_id.load(), 0u);
}

TEST_F(WorkerTest, LogoffWithoutSessionCallsNothing) {
  EXPECT_EQ(sm_mailrequest(SM_LOGOFF, 0, 0, 0, 0), 0);
  EXPECT_TRUE(testcmc::Calls().empty());
}

TEST_F(WorkerTest, ListPassesNoSeedAndReturnsTheProvidersOutputs) {
  testcmc::Message m;
  m.reference = "r1";
  testcmc::SetMailbox({m, m});
  LogOn();
  char type[] = "CMC: IPM";
  CMC_uint32 count = 0;
  CMC_message_summary* result = nullptr;
  ASSERT_EQ(sm_mailrequest(SM_LIST, reinterpret_cast<intptr_t>(type), 1,
                           reinterpret_cast<intptr_t>(&count), reinterpret_cast<intptr_t>(&result)),
            0);
  EXPECT_EQ(count, 2u);
  ASSERT_NE(result, nullptr);
  testcmc::Call call = testcmc::Calls().back();
  EXPECT_TRUE(call.seed_null);
  EXPECT_EQ(call.message_type, "CMC: IPM");
  EXPECT_EQ(call.flags, 1u);
  EXPECT_EQ(sm_mailrequest(SM_FREE, reinterpret_cast<intptr_t>(result), 0, 0, 0), 0);
  EXPECT_EQ(testcmc::OutstandingBlocks(), 0);
}

TEST_F(WorkerTest, ShutdownEndsTheWorkerEvenWhenLogoffFaults) {
  LogOn();
  EXPECT_NE(sm_state.session.load(), 0u);
  testcmc::Program("cmc_logoff", {testcmc::Action::kFault, 0, 0, 1});
  EXPECT_EQ(sm_mailrequest(SM_SHUTDOWN, 0, 0, 0, 0), SM_INTERNAL);
  EXPECT_EQ(sm_state.thread_id.load(), 0u);
  EXPECT_NE(sm_state.session.load(), 0u);  // the faulted logoff did not clear it
}

TEST_F(WorkerTest, ALateCompletionNeverAnswersTheNextRequest) {
  sm_state.timeout = 60;
  testcmc::Message m;
  m.reference = "only";
  testcmc::SetMailbox({m});
  LogOn();
  testcmc::Program("cmc_list", {testcmc::Action::kSleep, 0, 250, 1});
  CMC_uint32 count = 0;
  CMC_message_summary* result = nullptr;
  EXPECT_EQ(List(&count, &result), SM_TIMEDOUT);
  EXPECT_EQ(sm_state.session.load(), 0u);  // the cut-off forgot the session
  // Made at once, while the cut-off call is still sleeping.
  LogOn();
  testcmc::Program("cmc_list", {testcmc::Action::kReturn, CMC_E_FAILURE, 0, 1});
  CMC_uint32 count2 = 0;
  CMC_message_summary* result2 = nullptr;
  EXPECT_EQ(List(&count2, &result2), CMC_E_FAILURE);
  // The late call's outputs went nowhere: the first request's outputs stay
  // as they were when it timed out.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(result, nullptr);
  CMC_uint32 count3 = 0;
  CMC_message_summary* result3 = nullptr;
  EXPECT_EQ(List(&count3, &result3), 0);
  EXPECT_EQ(count3, 1u);
  sm_mailrequest(SM_FREE, reinterpret_cast<intptr_t>(result3), 0, 0, 0);
}

TEST_F(WorkerTest, ManyThreadsRequestingAtOnceAreEachAnsweredOnce) {
  testcmc::Message m;
  m.reference = "x";
  testcmc::SetMailbox({m, m, m});
  LogOn();
  testcmc::RandomDelays(2);
  constexpr int kThreads = 8;
  constexpr int kRequests = 40;
  std::atomic<int> answered{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRequests; ++i) {
        // Each asks for a different number of messages, so an answer meant
        // for another thread would show.
        CMC_uint32 count = static_cast<CMC_uint32>(1 + (t + i) % 3);
        const CMC_uint32 asked = count;
        CMC_message_summary* result = nullptr;
        int32_t rc = sm_mailrequest(SM_LIST, 0, 0, reinterpret_cast<intptr_t>(&count),
                                    reinterpret_cast<intptr_t>(&result));
        if (rc != 0 || count != asked || result == nullptr) ++wrong;
        if (result != nullptr) sm_mailrequest(SM_FREE, reinterpret_cast<intptr_t>(result), 0, 0, 0);
        ++answered;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  testcmc::RandomDelays(0);
  EXPECT_EQ(answered.load(), kThreads * kRequests);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(testcmc::CallCount("cmc_list"), kThreads * kRequests);
  EXPECT_EQ(testcmc::OutstandingBlocks(), 0);
}

TEST_F(WorkerTest, CutOffsUnderLoadLeaveTheWorkerUsable) {
  sm_state.timeout = 30;
  LogOn();
  testcmc::RandomDelays(60);  // some calls outlast the time-out
  std::vector<std::thread> threads;
  std::atomic<int> timed_out{0}, succeeded{0}, other{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        CMC_uint32 count = 0;
        CMC_message_summary* result = nullptr;
        int32_t rc = List(&count, &result);
        if (rc == SM_TIMEDOUT || rc == CMC_E_INVALID_SESSION_ID) {
          ++timed_out;  // cut off, or after a cut-off forgot the session
        } else if (rc == 0) {
          ++succeeded;
        } else {
          ++other;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  testcmc::RandomDelays(0);
  EXPECT_EQ(other.load(), 0);
  EXPECT_EQ(timed_out + succeeded, 40);
  sm_state.timeout = 10000;
  LogOn();
  CMC_uint32 count = 0;
  CMC_message_summary* result = nullptr;
  EXPECT_EQ(List(&count, &result), 0);
}

// A send's text note (perhaps a whole query result) is handed to the
// request, not copied: the request frees it when it completes, and a worker
// that was given up keeps it, since it may still read it when it comes back.
TEST_F(WorkerTest, AHandedOverNoteOutlivesARequesterThatGaveUp) {
  LogOn();
  const std::string text(100000, 'n');
  char name[] = "ops";
  CMC_recipient recipient = {};
  recipient.name = name;
  recipient.recip_flags = CMC_RECIP_LAST_ELEMENT;
  CMC_message message = {};
  message.recipients = &recipient;
  message.message_flags = CMC_MSG_LAST_ELEMENT;
  const auto note_of = [&](sm_srvblock* note) {
    EXPECT_TRUE(note->Allocate(static_cast<int32_t>(text.size() + 1)));
    memcpy(note->get(), text.c_str(), text.size() + 1);
    message.text_note = note->as<char>();
  };

  {
    sm_srvblock note;
    note_of(&note);
    EXPECT_EQ(sm_requestsend(&message, &note), 0);
    EXPECT_EQ(note.get(), nullptr);  // taken over
    EXPECT_TRUE(testcmc::LastSentNote() == text);
  }

  sm_state.timeout = 100;
  testcmc::Program("cmc_send", {testcmc::Action::kHang, 0, 0, 1});
  {
    sm_srvblock note;
    note_of(&note);
    EXPECT_EQ(sm_requestsend(&message, &note), SM_TIMEDOUT);
  }
  // What the requester does with its memory next must not reach the worker.
  sm_srvblock reused;
  ASSERT_TRUE(reused.Allocate(static_cast<int32_t>(text.size() + 1)));
  memset(reused.get(), 'X', text.size() + 1);
  testcmc::Release();
  for (int i = 0; i < 1000 && !testcmc::Calls().back().finished; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(testcmc::Calls().back().finished);
  EXPECT_TRUE(testcmc::LastSentNote() == text) << "the worker read another note";
}

}  // namespace
