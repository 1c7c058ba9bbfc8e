// Loading and unloading the library: the attach steps in order, their
// failures, the settings read at attach, and the provider binding.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <thread>

#include "message_numbers.h"
#include "platform.h"
#include "velmail_fixture.h"

namespace veltest {
namespace {

using velsrv::FailRule;

class StartupTest : public VelmailTest {};

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(StartupTest, AttachSucceedsAndStartsNoThreadUntilTheFirstRequest) {
  EXPECT_EQ(host().Load(&client()), 1);
  EXPECT_EQ(testcmc::Calls().size(), 0u);
  EXPECT_EQ(velct::LiveContexts(), 1);
  // The interfaces file of the host reaches the client library.
  EXPECT_EQ(host().Unload(), 1);
  EXPECT_EQ(velct::LiveContexts(), 0);
  EXPECT_EQ(velct::CallCount("ct_exit"), 1);
  // No worker ever ran, so no shutdown reached the provider.
  EXPECT_EQ(testcmc::CallCount("cmc_logoff"), 0);
}

TEST_F(StartupTest, WithoutTheMessageLibraryAttachFailsAfterOneLogLine) {
  options_.message_library.clear();
  EXPECT_EQ(host().Load(&client()), 0);
  EXPECT_EQ(host().log(), std::vector<std::string>{"Velmail: Cannot load msg dll.\n"});
  EXPECT_EQ(velct::CallCount("cs_ctx_alloc"), 0);
  EXPECT_FALSE(host().loaded());
  // The detach that follows a failed attach does nothing.
  EXPECT_EQ(velct::CallCount("ct_exit"), 0);
}

TEST_F(StartupTest, AMessageLibraryWithoutTheRouterFailsTheAttach) {
  options_.message_library = LibPath("variants/noroute/" + ModuleFile("velmsgs"));
  EXPECT_EQ(host().Load(&client()), 0);
  EXPECT_EQ(host().log(), std::vector<std::string>{"Velmail: Cannot find error handler.\n"});
  EXPECT_EQ(velct::CallCount("cs_ctx_alloc"), 0);
}

TEST_F(StartupTest, ClientLibraryContextFailuresAreLoggedAndFailTheAttach) {
  velct::Fail("cs_ctx_alloc");
  EXPECT_EQ(host().Load(&client()), 0);
  EXPECT_TRUE(Contains(host().log(), "Velmail: Failed to allocate context structure.\n"));
  EXPECT_TRUE(host().routed().empty());
  DestroyHost();

  velct::ClearFailures();
  velct::Fail("ct_init");
  EXPECT_EQ(host().Load(&client()), 0);
  EXPECT_TRUE(Contains(host().log(), "Velmail: Failed to initialize Client Library.\n"));
  EXPECT_EQ(velct::CallCount("ct_exit"), 0);
}

TEST_F(StartupTest, ChallengeRegistrationFailureRaises11531Then11544OnTheLoadingClient) {
  velct::Fail("ct_callback");
  EXPECT_EQ(host().Load(&client()), 0);
  EXPECT_EQ(Simplify(host().routed()),
            (std::vector<Routed>{{kMsgLibraryCallFailed, kToLog, {T("ct_callback"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
}

TEST_F(StartupTest, InterfacesFileFailuresRaise11544WithoutThread) {
  host().Fail(FailRule{"srv_props", 1, 1, VEL_PROP_IFILE_PATH});
  EXPECT_EQ(host().Load(&client()), 0);
  EXPECT_EQ(Simplify(host().routed()), (std::vector<Routed>{{kMsgFailed, kToLog, {N(0)}}}));
  DestroyHost();

  velct::Fail("ct_config");
  EXPECT_EQ(host().Load(&client()), 0);
  EXPECT_EQ(Simplify(host().routed()), (std::vector<Routed>{{kMsgFailed, kToLog, {N(0)}}}));
}

TEST_F(StartupTest, NoCurrentThreadRaises11539AndReleasesTheClientLibrary) {
  host().Fail(FailRule{"srv_props", 1, 1, VEL_PROP_CURRENT_THREAD});
  EXPECT_EQ(host().Load(&client()), 0);
  EXPECT_EQ(Simplify(host().routed()),
            (std::vector<Routed>{{kMsgNoCurrentThread, kToLog, {T("DllMain"), N(0)}}}));
  EXPECT_EQ(velct::CallCount("ct_exit"), 1);
  EXPECT_EQ(velct::CallCount("cs_ctx_drop"), 1);
  EXPECT_EQ(velct::LiveContexts(), 0);
}

// 11529 carries no name, so the host log says which file was tried: a path
// or a file name as it was given, a module name as the file it stands for
// (with the name configured beside it).
TEST_F(StartupTest, AProviderThatCannotBeLoadedRaises11529AndTheLogNamesTheFileTried) {
  const std::string path = (dir_ / ModuleFile("no-such-provider")).string();
  struct Case {
    std::string configured;
    std::string logged;
  };
#if defined(_WIN32)
  const Case cases[] = {{path, path}, {"NO-SUCH-PROVIDER.DLL", "NO-SUCH-PROVIDER.DLL"}};
#else
  const Case cases[] = {
      {path, path},
      {"libno-such-provider.so", "libno-such-provider.so"},
      {"libno-such-provider.so.2.0", "libno-such-provider.so.2.0"},
      {"NO-SUCH-PROVIDER.DLL", "libno-such-provider.so (CMCDLLNAME32=NO-SUCH-PROVIDER.DLL)"}};
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.configured);
    WriteWinIniRaw("[Mail]\nCMCDLLNAME32=" + c.configured + "\n");
    EXPECT_EQ(host().Load(&client()), 0);
    EXPECT_EQ(Simplify(host().routed()),
              (std::vector<Routed>{{kMsgCannotLoadProvider, kToLogAndClient, {N(0)}}}));
    EXPECT_EQ(velct::LiveContexts(), 0);
    // The line comes before the message, with the loader's reason after it.
    const std::string expected = "Velmail: Cannot load the mail provider " + c.logged + ": ";
    const std::vector<std::string> log = host().log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().rfind(expected, 0), 0u) << log.front();
    EXPECT_GT(log.front().size(), expected.size() + 1) << log.front();
    EXPECT_EQ(log.front().back(), '\n');
    DestroyHost();
  }
}

// The line the documentation gives (CMCDLLNAME32=libvelnet.so): a provider
// named by its file name is loaded by that name, from where the library's
// loader looks.
TEST_F(StartupTest, AProviderNamedByItsFileNameIsLoadedAsGiven) {
#if defined(_WIN32)
  GTEST_SKIP() << "a module name is the file's own name there";
#elif defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's dlopen searches from its own runtime, not from the library's "
                  "run path";
#endif
  WriteWinIniRaw("[Mail]\nCMCDLLNAME32=" + ModuleFile("veltestcmc") + "\n");
  EXPECT_EQ(host().Load(&client()), 1);
  StartMail(client());
  EXPECT_EQ(testcmc::CallCount("cmc_logon"), 1);
}

TEST_F(StartupTest, EveryMissingEntryPointFailsTheAttachWithItsName) {
  const char* entries[] = {"logon", "logoff", "free", "send", "look_up", "list", "read", "act_on"};
  for (const char* entry : entries) {
    SCOPED_TRACE(entry);
    WriteWinIni(ModuleFile(std::string("veltestcmc_no_") + entry).c_str());
    EXPECT_EQ(host().Load(&client()), 0);
    EXPECT_EQ(Simplify(host().routed()),
              (std::vector<Routed>{
                  {kMsgMissingEntryPoint, kToLog, {T(std::string("cmc_") + entry), N(0)}},
                  {kMsgFailed, kToLogAndClient, {N(0)}}}));
    EXPECT_EQ(velct::LiveContexts(), 0);
    DestroyHost();
  }
}

TEST_F(StartupTest, AnAlreadyLoadedProviderIsUsedAndNotReleasedByTheLibrary) {
  std::string path = LibPath(ModuleFile("veltestcmc"));
  vel::os::Module mine = vel::os::LoadModule(path.c_str());
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(host().Load(&client()), 1);
  StartMail(client());
  EXPECT_EQ(host().Unload(), 1);
  // The library took no reference, so it dropped none: ours still holds.
  EXPECT_EQ(vel::os::FindLoadedModule(path.c_str()), mine);
  vel::os::FreeModule(mine);
}

TEST_F(StartupTest, TheDefaultProviderNameIsUsedWhenTheKeyIsAbsentOrEmpty) {
#if defined(_WIN32)
  // Under wine a module named mapi32.dll is always wine's own, whatever
  // path it is loaded from: the default name binds it, and its logon
  // faults (see TheSystemMapi32IsBoundByDefaultAndItsFaultsAreContained).
  for (const char* ini : {"", "[Mail]\nCMCDLLNAME32=\n", "[mail]\ncmcdllname32 =   \n"}) {
    SCOPED_TRACE(ini);
    if (*ini == '\0') {
      WriteWinIni(nullptr);
    } else {
      WriteWinIniRaw(ini);
    }
    EXPECT_EQ(host().Load(&client()), 1);
    EXPECT_EQ(Simplify(client().Call("xp_startmail", {Text("@mail_user", "u")}).routed),
              (std::vector<Routed>{
                  {kMsgMailRequestFailed, kToLogAndClient, {T("Internal Velmail error")}}}));
    DestroyHost();
  }
  EXPECT_EQ(testcmc::CallCount("cmc_logon"), 0);
  return;
#endif
  // A provider whose module name is the default's is found already loaded.
  vel::os::Module mapi =
      vel::os::LoadModule(LibPath("variants/mapi32/" + ModuleFile("mapi32")).c_str());
  ASSERT_NE(mapi, nullptr);
  for (const char* ini : {"", "[Mail]\nCMCDLLNAME32=\n", "[mail]\ncmcdllname32 =   \n"}) {
    SCOPED_TRACE(ini);
    if (*ini == '\0') {
      WriteWinIni(nullptr);
    } else {
      WriteWinIniRaw(ini);
    }
    EXPECT_EQ(host().Load(&client()), 1);
    StartMail(client());
    DestroyHost();
  }
  EXPECT_EQ(testcmc::CallCount("cmc_logon"), 3);
  vel::os::FreeModule(mapi);
}

TEST_F(StartupTest, ThreadNotificationsChangeNothing) {
  ASSERT_EQ(host().Load(&client()), 1);
  vel::os::Module lib = vel::os::FindLoadedModule(options_.library.c_str());
  ASSERT_NE(lib, nullptr);
  auto dllmain = reinterpret_cast<int32_t(VEL_STDCALL*)(void*, uint32_t, void*)>(
      vel::os::ModuleSymbol(lib, "DllMain"));
  ASSERT_NE(dllmain, nullptr);
  EXPECT_EQ(dllmain(lib, 2, nullptr), 1);
  EXPECT_EQ(dllmain(lib, 3, nullptr), 1);
  StartMail(client());
}

// As the process ends, the loader's detach (reserved not null) finds the
// worker gone with the process's other threads: it must not wait for it.
TEST_F(StartupTest, DetachAsTheProcessEndsPostsNoShutdown) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the worker stays parked until the process ends, which the sanitizers' "
                  "checks at exit cannot walk";
#endif
  StartMail(client());
  vel::os::Module lib = vel::os::FindLoadedModule(options_.library.c_str());
  ASSERT_NE(lib, nullptr);
  auto dllmain = reinterpret_cast<int32_t(VEL_STDCALL*)(void*, uint32_t, void*)>(
      vel::os::ModuleSymbol(lib, "DllMain"));
  ASSERT_NE(dllmain, nullptr);
  // The worker is still there, parked in the library's code: keep that
  // code mapped until the process ends, as it would be.
  vel::os::PinModuleOf(reinterpret_cast<const void*>(dllmain));
  int process_ending = 1;
  EXPECT_EQ(dllmain(lib, 0, &process_ending), 1);
  EXPECT_EQ(testcmc::CallCount("cmc_logoff"), 0);
  EXPECT_EQ(velct::LiveContexts(), 0) << "the client library is still shut down";
}

TEST_F(StartupTest, DetachLogsAnOpenSessionOffBeforeReleasingTheProvider) {
  StartMail(client());
  EXPECT_EQ(testcmc::OpenSessions(), 1);
  EXPECT_EQ(host().Unload(), 1);
  EXPECT_EQ(testcmc::CallCount("cmc_logoff"), 1);
  EXPECT_EQ(testcmc::OpenSessions(), 0);
}

TEST_F(StartupTest, DetachAfterStopmailMakesNoSecondLogoff) {
  StartMail(client());
  ExpectSucceeded(client().Call("xp_stopmail"));
  EXPECT_EQ(host().Unload(), 1);
  EXPECT_EQ(testcmc::CallCount("cmc_logoff"), 1);
}

TEST_F(StartupTest, DetachGoesOnWhenTheShutdownHangs) {
  vel::os::SetEnvironmentVariable("VELMAIL_TIMEOUT", "200");
  StartMail(client());
  testcmc::Program("cmc_logoff", {testcmc::Action::kHang});
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(host().Unload(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
  EXPECT_FALSE(host().loaded());
}

TEST_F(StartupTest, DetachReportsClientLibraryFailuresButSucceeds) {
  ASSERT_EQ(host().Load(&client()), 1);
  velct::Fail("ct_exit");
  velct::Fail("cs_ctx_drop");
  EXPECT_EQ(host().Unload(&client()), 1);
  EXPECT_EQ(Simplify(host().routed()),
            (std::vector<Routed>{{kMsgLibraryCallFailed, kToLog, {T("ct_exit"), N(0)}},
                                 {kMsgLibraryCallFailed, kToLog, {T("cs_ctx_drop"), N(0)}},
                                 {kMsgFailed, kToLogAndClient, {N(0)}}}));
}

// The challenge callback registered at attach follows the client library's
// calling contract.
TEST_F(StartupTest, ChallengeCallbackFillsItsRecordsAndPassesThrough) {
  ASSERT_EQ(host().Load(&client()), 1);
  ASSERT_EQ(velct::LiveContexts(), 1);
  // The stand-in hands back the callback registered on the library's
  // context.
  cs_challenge_fn callback = velct::ChallengeCallback(velct::LastContext());
  ASSERT_NE(callback, nullptr);
  int32_t status = 0;
  alignas(8) char record4[160] = {};
  alignas(8) char record6[160] = {};
  int32_t value144 = 4242;
  memcpy(record4 + 144, &value144, sizeof(value144));
  int a1, a2, a5, a7, a8;
  velct::SetUninitResult(1);
  EXPECT_EQ(callback(&a1, &a2, &status, record4, &a5, record6, &a7, &a8), 1);
  EXPECT_EQ(status, 5);
  int32_t flag = 0;
  memcpy(&flag, record6 + 136, sizeof(flag));
  EXPECT_EQ(flag, 1);
  velct::UninitCall call = velct::LastUninitCall();
  EXPECT_EQ(call.a1, &a1);
  EXPECT_EQ(call.a5, &a5);
  EXPECT_EQ(call.value144, 4242);
  EXPECT_EQ(call.a7, &a7);
  EXPECT_EQ(call.a8, &a8);
  velct::SetUninitResult(0);
  EXPECT_EQ(callback(&a1, &a2, &status, record4, &a5, record6, &a7, &a8), 0);
  velct::SetUninitResult(7);
  EXPECT_EQ(callback(&a1, &a2, &status, record4, &a5, record6, &a7, &a8), 0);
}

#if defined(_WIN32)
std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The prefix's win.ini without any provider key.
std::string WithoutMailKey(const std::string& ini) {
  std::string out;
  size_t start = 0;
  while (start < ini.size()) {
    size_t end = ini.find('\n', start);
    end = end == std::string::npos ? ini.size() : end + 1;
    const std::string line = ini.substr(start, end - start);
    if (Lower(line).find("cmcdllname32") == std::string::npos) out += line;
    start = end;
  }
  return out;
}

// The prefix's win.ini with a line put under its first [mail] section (the
// only one Windows reads a key from), and a later [Mail] section naming a
// provider that does not exist.
std::string WithMailKey(const std::string& ini, const std::string& line) {
  const size_t header = Lower(ini).find("[mail]");
  std::string out = ini;
  if (header == std::string::npos) {
    out = "[Mail]\n" + line + "\n" + out;
  } else {
    const size_t end = out.find('\n', header);
    out.insert(end == std::string::npos ? out.size() : end + 1, line + "\n");
  }
  return out + "\n[Mail]\nCMCDLLNAME32=no-such-provider.dll\n";
}

// The system's own MAPI32.DLL (wine's) under the default provider name: it
// exports the eight CMC entry points, and each raises a structured
// exception (0x80000100) when called. The library binds it, the fault of
// a logon becomes an internal error, and the worker serves on.
TEST_F(StartupTest, TheSystemMapi32IsBoundByDefaultAndItsFaultsAreContained) {
  WriteWinIniRaw(WithoutMailKey(PrefixWinIni()));
  vel::os::SetEnvironmentVariable("VELMAIL_TIMEOUT", "10000");
  EXPECT_EQ(vel::os::FindLoadedModule("MAPI32.DLL"), nullptr);
  ASSERT_EQ(host().Load(&client()), 1);
  EXPECT_NE(vel::os::FindLoadedModule("MAPI32.DLL"), nullptr);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    velsrv::CallResult result = client().Call("xp_startmail", {Text("@mail_user", "u")});
    ExpectFailedWithoutStatus(result);
    EXPECT_EQ(Simplify(result.routed),
              (std::vector<Routed>{
                  {kMsgMailRequestFailed, kToLogAndClient, {T("Internal Velmail error")}}}));
  }
  EXPECT_EQ(testcmc::CallCount("cmc_logon"), 0) << "the test provider was not used";
  EXPECT_EQ(host().Unload(), 1);
}

// win.ini as Windows itself reads it: the key under the first [mail]
// section names the provider; a second section of that name is not read.
TEST_F(StartupTest, TheProviderKeyIsReadFromTheFirstMailSectionOfWinIni) {
  WriteWinIniRaw(WithMailKey(WithoutMailKey(PrefixWinIni()),
                             "CMCDLLNAME32=" + LibPath(ModuleFile("veltestcmc"))));
  ASSERT_EQ(host().Load(&client()), 1);
  StartMail(client());
  EXPECT_EQ(testcmc::CallCount("cmc_logon"), 1);
}
#endif

}  // namespace
}  // namespace veltest
