// The network provider's configuration check and its spool's states,
// without servers or root: what a configuration file may and may not say,
// and how a spooled message moves between queue/, failed/ and quarantine/
// when its file is damaged, when no server answers, and when its time runs
// out (delivery to a loopback port nothing listens on).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "file_faults.h"
#include "file_system.h"
#include "net/config.h"
#include "net/outbox.h"
#include "net/spool.h"

namespace velnet {
namespace {

namespace fs = std::filesystem;

class NetSpoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velnet-unit-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A configuration with the given lines appended to its [delivery].
  std::string Write(const std::string& extra, const std::string& head = "") {
    const std::string path = (dir_ / "velnet.ini").string();
    std::ofstream(path) << head << "[imap]\nurl = imap://127.0.0.1:1/INBOX\n"
                        << "[smtp]\nservers = smtp://127.0.0.1:1\n"
                        << "[tls]\nmode = none\n[mail]\ndomain = example.org\n"
                        << "[delivery]\nspool = " << (dir_ / "spool").string() << "\n"
                        << "connect_timeout = 2\n"
                        << extra;
    return path;
  }
  std::optional<Config> Load(const std::string& path, std::string* error) {
    return LoadConfig(path, error);
  }

  // The spool of a configuration with nothing added, its folders made.
  Spool PreparedSpool() {
    std::string error;
    auto config = Load(Write(""), &error);
    EXPECT_TRUE(config) << error;
    Spool spool(config ? config->spool : (dir_ / "spool").string());
    EXPECT_TRUE(spool.Prepare(&error)) << error;
    return spool;
  }

  // A message of ops to dba, and the state of its delivery.
  const Envelope ops_to_dba_{"ops", "ops@example.org", {"dba@example.org"}, 0};
  static DeliveryState Delivered() {
    DeliveryState done;
    done.accepted.emplace_back("dba@example.org", "250 ok");
    return done;
  }

  // What a queued message's file holds after its envelope, once its
  // length and checksum hold; else why not, in parentheses.
  static std::string QueuedText(const Spool& spool, const std::string& id) {
    auto entry = spool.Load(id);
    if (!entry) return "(cannot be loaded)";
    const int fd = spool.OpenLocked(id);
    if (fd < 0) return "(cannot be opened)";
    std::string out = spool.Verify(fd, *entry);
    if (out.empty()) {
      char buf[8192];
      for (uint64_t at = entry->message_offset;;) {
        const int64_t n = vel::os::Files().ReadFileAt(fd, buf, sizeof buf, at);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
        at += static_cast<uint64_t>(n);
      }
    } else {
      out = "(" + out + ")";
    }
    vel::os::Files().CloseFile(fd);
    return out;
  }

  fs::path dir_;
};

TEST_F(NetSpoolTest, TheConfigurationCheckRefusesWhatWouldFailLaterAndAcceptsAMark) {
  std::string error;
  // A byte-order mark is no error; durations take units.
  auto config = Load(Write("retry_for = 2d\nretry_max_delay = 600\n", "\xEF\xBB\xBF"), &error);
  ASSERT_TRUE(config) << error;
  EXPECT_EQ(config->retry_for, 2u * 86400);
  EXPECT_EQ(config->RetryDelay(5), 60);      // never below retry_delay
  EXPECT_EQ(config->RetryDelay(300), 300);   // the message's age
  EXPECT_EQ(config->RetryDelay(9000), 600);  // never above retry_max_delay
  EXPECT_EQ(config->FromFor("ops"), "ops@example.org");
  EXPECT_EQ(config->FromFor("ops@velmail.test"), "ops@velmail.test");

  struct Case {
    std::string extra, why;
  } cases[] = {
      {"retry_for = soon\n", "delivery.retry_for must be a duration"},
      {"log = " + dir_.string() + "\n", "is not a regular file"},
      {"log = /no/such/dir/velnet.log\n", "is in no directory that exists"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(Load(Write(c.extra), &error)) << c.extra;
    EXPECT_NE(error.find(c.why), std::string::npos) << error;
    EXPECT_NE(error.find(", line "), std::string::npos) << error;
  }
  // Plain text only to this machine, a sender that is one address, a
  // certificate file that can be read.
  std::string text = Write("");
  for (auto [from, to, why] :
       {std::tuple{"imap://127.0.0.1:1", "imap://127.mail.example.org:1", "this machine only"},
        {"domain = example.org\n", "domain = example.org\nfrom = %u@example.org>\n",
         "must be one address"},
        {"mode = none\n", "mode = required\nca_file = /no/such/ca.crt\n", "tls.ca_file"}}) {
    std::ifstream in(text);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    content.replace(content.find(from), std::string(from).size(), to);
    std::ofstream(text) << content;
    EXPECT_FALSE(Load(text, &error)) << to;
    EXPECT_NE(error.find(why), std::string::npos) << error;
    Write("");
  }
  // A FIFO is refused at once instead of hanging the logon.
  const std::string fifo = (dir_ / "fifo.ini").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(Load(fifo, &error));
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
}

TEST_F(NetSpoolTest, AMessageWaitsThroughAnOutageAndFailsOnlyWhenItsTimeIsUp) {
  std::string error;
  auto config = Load(Write("retry_for = 1h\nretry_delay = 60\n"), &error);
  ASSERT_TRUE(config) << error;
  Spool spool(config->spool);
  ASSERT_TRUE(spool.Prepare(&error)) << error;
  EXPECT_EQ(fs::status(config->spool).permissions() & fs::perms::all, fs::perms::owner_all);

  Envelope fresh{"ops", "ops@example.org", {"dba@example.org"}, 0};
  Envelope old = fresh;
  old.queued_at = time(nullptr) - 7200;  // queued two hours ago
  std::string fresh_id, old_id;
  ASSERT_EQ(spool.Add(fresh, "Subject: fresh\n\nbody\n", &fresh_id, &error), CMC_SUCCESS);
  ASSERT_EQ(spool.Add(old, "Subject: old\n\nbody\n", &old_id, &error), CMC_SUCCESS);

  // Nothing listens on port 1: deferred, counted, retried later; only the
  // message older than retry_for fails, with the last reply.
  PassReport report = DeliverPass(*config, {{"ops", "secret"}}, true);
  EXPECT_EQ(report.deferred, 1u);
  EXPECT_EQ(report.failed, 1u);
  auto entry = spool.Load(fresh_id);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->state.attempts, 1u);
  EXPECT_GE(entry->state.next_attempt, time(nullptr) + 59);
  EXPECT_EQ(spool.Queued(), std::vector<std::string>{fresh_id});
  ASSERT_EQ(spool.Failed(), std::vector<std::string>{old_id});
  auto failed = spool.Load(old_id, true);
  ASSERT_TRUE(failed);
  ASSERT_EQ(failed->state.refused.size(), 1u);
  EXPECT_NE(failed->state.refused[0].second.find("not delivered in 3600 seconds"),
            std::string::npos);
  // The sender's report waits in the spool for its mailbox.
  EXPECT_TRUE(fs::exists(fs::path(config->spool) / "reports" / old_id));

  // Not due yet: an unforced pass leaves it alone.
  report = DeliverPass(*config, {{"ops", "secret"}}, false);
  EXPECT_EQ(report.deferred, 0u);
  EXPECT_EQ(spool.Load(fresh_id)->state.attempts, 1u);
}

TEST_F(NetSpoolTest, DamagedFilesAreQuarantinedWithTheirReason) {
  std::string error;
  auto config = Load(Write(""), &error);
  ASSERT_TRUE(config) << error;
  Spool spool(config->spool);
  ASSERT_TRUE(spool.Prepare(&error));
  Envelope e{"ops", "ops@example.org", {"dba@example.org"}, 0};
  std::string cut, garbled, whole;
  ASSERT_EQ(spool.Add(e, "Subject: a\n\n" + std::string(5000, 'x'), &cut, &error), CMC_SUCCESS);
  ASSERT_EQ(spool.Add(e, "Subject: b\n\n" + std::string(5000, 'y'), &garbled, &error), CMC_SUCCESS);
  ASSERT_EQ(spool.Add(e, "Subject: c\n\nz\n", &whole, &error), CMC_SUCCESS);
  const fs::path queue = fs::path(config->spool) / "queue";
  fs::resize_file(queue / (cut + ".msg"), fs::file_size(queue / (cut + ".msg")) - 100);
  {
    int fd = open((queue / (garbled + ".msg")).c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(
        pwrite(fd, "Y", 1, static_cast<off_t>(fs::file_size(queue / (garbled + ".msg")) - 10)), 1);
    close(fd);
  }
  std::string damage;
  EXPECT_FALSE(spool.Load(cut, false, &damage));
  EXPECT_NE(damage.find("bytes where"), std::string::npos) << damage;
  ASSERT_TRUE(spool.Load(garbled, false, &damage));  // the length still matches

  PassReport report = DeliverPass(*config, {{"ops", "secret"}}, true);
  EXPECT_EQ(report.quarantined, 2u);
  auto quarantined = spool.Quarantine();
  ASSERT_EQ(quarantined.size(), 2u);
  for (const Quarantined& q : quarantined) {
    const char* why = q.id == cut ? "bytes where" : "checksum does not match";
    EXPECT_NE(q.reason.find(why), std::string::npos) << q.id << ": " << q.reason;
  }
  EXPECT_EQ(spool.Queued(), std::vector<std::string>{whole});  // only the whole one waits
}

TEST_F(NetSpoolTest, AStateThatCannotBeWrittenStandsInMemoryAndSentMailLeavesTheQueue) {
  std::string error;
  Spool spool = PreparedSpool();
  Envelope e{"ops", "ops@example.org", {"dba@example.org", "ann@example.org"}, 0};
  std::string id;
  ASSERT_EQ(spool.Add(e, "Subject: s\n\nbody\n", &id, &error), CMC_SUCCESS);
  // tmp/ taken away: no state file can be written any more.
  const fs::path tmp = fs::path(spool.Root()) / "tmp";
  fs::remove_all(tmp);
  std::ofstream(tmp.string()) << "not a directory";
  DeliveryState state;
  state.accepted.emplace_back("dba@example.org", "250 2.0.0 accepted");
  state.attempts = 1;
  EXPECT_FALSE(spool.SaveState(id, state));
  auto entry = spool.Load(id);
  ASSERT_TRUE(entry);
  EXPECT_TRUE(entry->state.Accepted("dba@example.org"));  // this process remembers
  EXPECT_EQ(entry->state.Pending(entry->envelope), std::vector<std::string>{"ann@example.org"});
  // Done with: it leaves the queue though its record cannot be written.
  state.accepted.emplace_back("ann@example.org", "250 2.0.0 accepted");
  spool.Finish(id, state);
  EXPECT_TRUE(spool.Queued().empty());
}

using veltest::FailWrite;

TEST_F(NetSpoolTest, AFailedWriteWhileSpoolingIsOneCodeAndLeavesNothingSpooled) {
  std::string error;
  Spool spool = PreparedSpool();
  Envelope e{"ops", "ops@example.org", {"dba@example.org"}, 0};
  const std::string message = "Subject: s\n\n" + std::string(200000, 'b');
  for (auto [failure, code] :
       {std::pair{ENOSPC, CMC_E_DISK_FULL}, std::pair{EDQUOT, CMC_E_DISK_FULL},
        std::pair{EFBIG, CMC_E_DISK_FULL}, std::pair{EIO, CMC_E_FAILURE}}) {
    bool reached_the_end = false;
    for (int n = 1; n < 20 && !reached_the_end; ++n) {
      FailWrite failing(n, failure);
      vel::os::FileSystem* was = vel::os::ReplaceFiles(&failing);
      std::string id;
      const CMC_return_code rc = spool.Add(e, message, &id, &error);
      vel::os::ReplaceFiles(was);
      reached_the_end = !failing.failed();
      EXPECT_TRUE(fs::is_empty(fs::path(spool.Root()) / "tmp")) << n;
      if (reached_the_end) {
        EXPECT_EQ(rc, CMC_SUCCESS);
        ASSERT_EQ(spool.Queued(), std::vector<std::string>{id});
        // What was spooled is whole: its length and checksum hold.
        auto entry = spool.Load(id);
        ASSERT_TRUE(entry);
        const int fd = spool.OpenLocked(id);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(spool.Verify(fd, *entry), "");
        vel::os::Files().CloseFile(fd);
        DeliveryState done;
        done.accepted.emplace_back("dba@example.org", "250 ok");
        spool.Finish(id, done);
      } else {
        EXPECT_EQ(rc, static_cast<CMC_return_code>(code)) << std::strerror(failure) << " at " << n;
        EXPECT_TRUE(spool.Queued().empty()) << n;
      }
    }
    EXPECT_TRUE(reached_the_end);
  }
}

TEST_F(NetSpoolTest, AMessageLargerThanItsLimitIsRefusedAndLeavesNothing) {
  std::string error;
  Spool spool = PreparedSpool();
  Envelope e{"ops", "ops@example.org", {"dba@example.org"}, 0};
  const std::string message(5000, 'x');
  auto write = [&](int fd) {
    return vel::os::Files().WriteFile(fd, message.data(), message.size()) ? CMC_SUCCESS
                                                                          : CMC_E_FAILURE;
  };
  std::string id;
  EXPECT_EQ(spool.Add(e, write, 4999, &id, &error), CMC_E_TEXT_TOO_LARGE);
  EXPECT_TRUE(spool.Queued().empty());
  EXPECT_TRUE(fs::is_empty(fs::path(spool.Root()) / "tmp"));
  EXPECT_EQ(spool.Add(e, write, 5000, &id, &error), CMC_SUCCESS) << error;
  EXPECT_EQ(spool.Queued().size(), 1u);
}

TEST_F(NetSpoolTest, ADeliveredMessagesFileCarriesALaterOneAndACrashAtAnyStepMixesNothing) {
  // A delivered message's file is emptied and kept, and the next message
  // spooled is written into it. The process is killed after each step of
  // that in turn (the delivered one leaving the queue, the next one
  // spooled), until both run to their end: whatever the step, the queue
  // then holds the delivered message whole or not at all, and the new one
  // whole or not at all, never one in the other's file, never damaged.
  const std::string delivered_text = "Subject: delivered\n\n" + std::string(30000, 'd');
  const std::string next_text = "Subject: next\n\n" + std::string(20000, 'n');
  const Envelope& e = ops_to_dba_;
  const DeliveryState done = Delivered();
  std::string error;
  bool completed = false;
  for (int step = 1; step < 100 && !completed; ++step) {
    Spool spool(PreparedSpool().Root() + "-" + std::to_string(step));
    ASSERT_TRUE(spool.Prepare(&error)) << error;
    // A file left by an earlier delivery is there to be taken.
    std::string earlier, first;
    ASSERT_EQ(spool.Add(e, "Subject: earlier\n\nx\n", &earlier, &error), CMC_SUCCESS);
    ASSERT_TRUE(spool.Finish(earlier, done));
    ASSERT_EQ(spool.Add(e, delivered_text, &first, &error), CMC_SUCCESS) << error;
    struct stat first_file {};
    ASSERT_EQ(stat((fs::path(spool.Root()) / "queue" / (first + ".msg")).c_str(), &first_file), 0);
    const int ended = veltest::RunCrashingAfter(step, [&] {
      std::string next_id, why;
      // The second message takes the delivered one's file, the third the
      // second's.
      return spool.Finish(first, done) && spool.Add(e, next_text, &next_id, &why) == CMC_SUCCESS &&
             spool.Finish(next_id, done) && spool.Add(e, next_text, &next_id, &why) == CMC_SUCCESS;
    });
    ASSERT_NE(ended, -2);
    completed = ended >= 0;
    if (completed) {
      ASSERT_EQ(ended, 0) << "step " << step;
    }
    // What another process finds in the queue.
    Spool after(spool.Root());
    ASSERT_TRUE(after.Prepare(&error)) << error;
    size_t next_ones = 0;
    for (const std::string& id : after.Queued()) {
      const std::string text = QueuedText(after, id);
      if (id == first) {
        EXPECT_EQ(text, delivered_text) << "step " << step;
      } else {
        EXPECT_EQ(text, next_text) << "step " << step << ": " << text.substr(0, 40);
        ++next_ones;
      }
    }
    EXPECT_LE(next_ones, 2u) << "step " << step;
    EXPECT_TRUE(after.Quarantine().empty()) << "step " << step;
    // Nothing of a delivered message's text stays in tmp/ once the spool
    // is taken up again.
    for (const auto& left : fs::directory_iterator(fs::path(spool.Root()) / "tmp"))
      EXPECT_NE(left.path().extension(), ".spare") << "step " << step << ": " << left.path();
    if (completed) {
      // Every message went into the file the first one had: a new file
      // was made only for the earlier one.
      const std::vector<std::string> queued = after.Queued();
      ASSERT_EQ(queued.size(), 1u);
      struct stat now {};
      ASSERT_EQ(stat((fs::path(spool.Root()) / "queue" / (queued[0] + ".msg")).c_str(), &now), 0);
      EXPECT_EQ(now.st_ino, first_file.st_ino);
      EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(spool.Root()) / "queue"),
                              fs::directory_iterator{}),
                1);
    }
  }
  EXPECT_TRUE(completed);
}

TEST_F(NetSpoolTest, ASpareACrashLeftWithAWholeMessageIsQueuedAndOneWithPartOfOneIsNot) {
  // A message is written into a spare and flushed; its new name is what a
  // crash may take (it is not flushed). The next Prepare finds the message
  // in the spare and queues it, once; a spare a crash left in the middle
  // of a spooling is emptied, not queued; a spare made fresh is taken.
  std::string error;
  Spool spool = PreparedSpool();
  const Envelope& e = ops_to_dba_;
  const DeliveryState done = Delivered();
  const fs::path queue = fs::path(spool.Root()) / "queue";
  std::string a, b, c;
  ASSERT_EQ(spool.Add(e, "Subject: a\n\nfirst\n", &a, &error), CMC_SUCCESS);
  ASSERT_EQ(spool.Add(e, "Subject: b\n\nsecond\n", &b, &error), CMC_SUCCESS);
  ASSERT_TRUE(spool.Finish(a, done));
  ASSERT_TRUE(fs::exists(queue / (a + ".free")));
  ASSERT_EQ(spool.Add(e, "Subject: c\n\nthird\n", &c, &error), CMC_SUCCESS);
  ASSERT_FALSE(fs::exists(queue / (a + ".free")));  // c went into it
  // The crash: c's new name lost, b's cut, a third spare fresh.
  fs::rename(queue / (c + ".msg"), queue / (a + ".free"));
  fs::rename(queue / (b + ".msg"), queue / (b + ".free"));
  fs::resize_file(queue / (b + ".free"), fs::file_size(queue / (b + ".free")) - 3);
  std::ofstream(queue / "x.fresh").close();
  ASSERT_EQ(spool.Queued(), std::vector<std::string>{});

  Spool after(spool.Root());
  ASSERT_TRUE(after.Prepare(&error)) << error;
  const std::vector<std::string> queued = after.Queued();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(QueuedText(after, queued[0]), "Subject: c\n\nthird\n");
  EXPECT_EQ(fs::file_size(queue / (b + ".free")), 0u);
  EXPECT_TRUE(fs::exists(queue / "x.free"));
  EXPECT_TRUE(after.Quarantine().empty());
  // A second Prepare changes nothing.
  ASSERT_TRUE(after.Prepare(&error)) << error;
  EXPECT_EQ(after.Queued(), queued);
}

TEST_F(NetSpoolTest, ProcessesSpoolingAtOnceNeverShareASpare) {
  // Two processes spool at once while spares are there to take: every
  // message is queued whole, in a file of its own.
  std::string error;
  Spool spool = PreparedSpool();
  const Envelope& e = ops_to_dba_;
  const DeliveryState done = Delivered();
  for (int i = 0; i < 40; ++i) {
    std::string id;
    ASSERT_EQ(spool.Add(e, "Subject: old\n\nx\n", &id, &error), CMC_SUCCESS);
    ASSERT_TRUE(spool.Finish(id, done));
  }
  std::vector<pid_t> children;
  for (int child = 0; child < 2; ++child) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      Spool own(spool.Root());
      for (int i = 0; i < 60; ++i) {
        std::string id, why;
        const std::string text = "Subject: " + std::to_string(child) + "." + std::to_string(i) +
                                 "\n\n" + std::string(1000 * (i % 7 + 1), 'a' + child) + "\n";
        if (own.Add(e, text, &id, &why) != CMC_SUCCESS) std::_Exit(1);
      }
      std::_Exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::set<std::string> subjects;
  std::set<ino_t> files;
  for (const std::string& id : spool.Queued()) {
    const std::string text = QueuedText(spool, id);
    subjects.insert(text.substr(0, text.find('\n')));
    struct stat st {};
    ASSERT_EQ(stat((fs::path(spool.Root()) / "queue" / (id + ".msg")).c_str(), &st), 0);
    files.insert(st.st_ino);
  }
  EXPECT_EQ(subjects.size(), 120u);
  EXPECT_EQ(files.size(), 120u);
}

TEST_F(NetSpoolTest, AHoldIsTheUsersWhateverTheCaseOrLengthOfItsName) {
  // A user of any name has a hold file (a name of 128 and more characters
  // would make one too long for a file), and OPS releases what ops held.
  Spool spool = PreparedSpool();
  const std::string long_user(200, 'u');
  spool.Hold(long_user, "535 refused");
  spool.Hold("ops", "535 refused too");
  auto holds = spool.Holds();
  ASSERT_EQ(holds.size(), 2u);
  EXPECT_TRUE(std::any_of(holds.begin(), holds.end(),
                          [&](const auto& hold) { return hold.first == long_user; }));
  spool.Release(std::string(200, 'U'));
  spool.Release("OPS");
  EXPECT_TRUE(spool.Holds().empty());
}

}  // namespace
}  // namespace velnet
