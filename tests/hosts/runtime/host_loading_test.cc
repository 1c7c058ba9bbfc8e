// Loading, attaching, detaching and unloading the library as the host does.
#include <stdexcept>

#include "host_test_support.h"
#include "platform.h"

namespace {

using host_test::Count;
using host_test::HostTest;
using velsrv::Host;

using AttachCallerFn = srv_proc* (*)();

srv_proc* AttachCaller() {
  vel::os::Module fake = vel::os::FindLoadedModule(host_test::FakeLibrary());
  if (fake == nullptr) return reinterpret_cast<srv_proc*>(-1);
  auto fn = reinterpret_cast<AttachCallerFn>(vel::os::ModuleSymbol(fake, "fakelib_attach_caller"));
  return fn();
}

using host_loading = HostTest;

TEST_F(host_loading, FirstCallLoadsOnItsOwnClientThread) {
  velsrv::Client& first = host().NewClient();
  velsrv::Client& second = host().NewClient();
  EXPECT_FALSE(host().loaded());
  EXPECT_NE(first.handle(), second.handle());

  velsrv::CallResult result = second.Call("fk_whoami");
  EXPECT_TRUE(result.attached);
  EXPECT_TRUE(result.found);
  EXPECT_EQ(result.returned, 1);
  EXPECT_TRUE(host().loaded());
  EXPECT_EQ(host().attach_result(), 1);
  // DllMain ran on the second client's thread: srv_props 318 yielded it.
  EXPECT_EQ(AttachCaller(), second.handle());
  // The attach log line was written on that thread during that call.
  EXPECT_EQ(Count(result.log, "fakelib: attach\n"), 1);

  // Later calls, from any client, do not load again.
  first.Call("fk_whoami");
  second.Call("fk_whoami");
  EXPECT_EQ(Count(host().log(), "fakelib: attach\n"), 1);
}

TEST_F(host_loading, LoadFromANonClientThreadSeesNoCaller) {
  EXPECT_EQ(host().Load(), 1);
  EXPECT_EQ(AttachCaller(), nullptr);
  EXPECT_EQ(host().Load(), 1);  // at most once
  EXPECT_EQ(Count(host().log(), "fakelib: attach\n"), 1);
}

TEST_F(host_loading, LoadOnAGivenClientRunsOnItsThread) {
  host().NewClient();
  velsrv::Client& chosen = host().NewClient();
  EXPECT_EQ(host().Load(&chosen), 1);
  EXPECT_EQ(AttachCaller(), chosen.handle());
}

TEST_F(host_loading, UnloadDetachesThenACallLoadsAgain) {
  velsrv::Client& client = host().NewClient();
  client.Call("fk_whoami");
  EXPECT_EQ(host().Unload(), 1);
  EXPECT_FALSE(host().loaded());
  EXPECT_EQ(vel::os::FindLoadedModule(host_test::FakeLibrary()), nullptr);
  EXPECT_EQ(host().log(), (std::vector<std::string>{"fakelib: attach\n", "fakelib: detach\n"}));
  EXPECT_EQ(host().Unload(), 0);  // nothing left to detach

  velsrv::CallResult again = client.Call("fk_whoami");
  EXPECT_TRUE(again.attached);
  EXPECT_EQ(Count(host().log(), "fakelib: attach\n"), 2);
}

TEST_F(host_loading, DestroyingTheHostDetachesAndUnloads) {
  host().NewClient().Call("fk_whoami");
  ASSERT_NE(vel::os::FindLoadedModule(host_test::FakeLibrary()), nullptr);
  host_.reset();
  EXPECT_EQ(Host::Current(), nullptr);
  EXPECT_EQ(vel::os::FindLoadedModule(host_test::FakeLibrary()), nullptr);
}

TEST_F(host_loading, MissingProcedureIsNotFound) {
  velsrv::CallResult result = host().NewClient().Call("fk_no_such_procedure");
  EXPECT_TRUE(result.attached);
  EXPECT_FALSE(result.found);
  EXPECT_TRUE(result.sequence.empty());
}

TEST_F(host_loading, MailProfileIsHandedOverOnTheChosenThreadAfterLoading) {
  velsrv::Client& client = host().NewClient();
  host().SetMailProfile("ann", "K\x01x", &client);
  EXPECT_TRUE(host().loaded());
  EXPECT_EQ(AttachCaller(), client.handle());
  host().SetMailProfile(nullptr, "", nullptr);
  EXPECT_EQ(host().log(), (std::vector<std::string>{"fakelib: attach\n",
                                                    "fakelib: profile ann/K\x01x on a client\n",
                                                    "fakelib: profile (null)/ on no client\n"}));
}

TEST_F(host_loading, OnlyOneHostPerProcess) {
#if defined(_WIN32)
  GTEST_SKIP() << "the server library's refusal is a C++ exception, which cannot leave "
                  "a Windows module built with static runtimes";
#endif
  EXPECT_EQ(Host::Current(), &host());
  EXPECT_THROW(Host second(Options()), std::logic_error);
  EXPECT_EQ(Host::Current(), &host());
}

TEST(host_loading_failure, FailedAttachDetachesOnceUnloadsAndRetriesOnTheNextCall) {
  velsrv::HostOptions options;
  options.library = host_test::NoAttachLibrary();
  Host host(options);
  velsrv::Client& client = host.NewClient();

  velsrv::CallResult result = client.Call("fk_whoami");
  EXPECT_FALSE(result.attached);
  EXPECT_FALSE(result.found);
  EXPECT_FALSE(host.loaded());
  EXPECT_EQ(host.attach_result(), 0);
  EXPECT_EQ(vel::os::FindLoadedModule(host_test::NoAttachLibrary()), nullptr);
  EXPECT_EQ(host.log(), (std::vector<std::string>{"noattach: attach\n", "noattach: detach\n"}));

  client.Call("fk_whoami");
  EXPECT_EQ(Count(host.log(), "noattach: attach\n"), 2);
  EXPECT_EQ(Count(host.log(), "noattach: detach\n"), 2);
  EXPECT_EQ(host.Load(), 0);
}

TEST(host_loading_failure, MissingLibraryFileGivesACallThatIsNotAttached) {
  velsrv::HostOptions options;
  options.library = "/nonexistent/libvelmail.so";
  Host host(options);
  velsrv::CallResult result = host.NewClient().Call("xp_startmail");
  EXPECT_FALSE(result.attached);
  EXPECT_FALSE(result.found);
  EXPECT_EQ(host.Load(), 0);
}

}  // namespace
