// The maildir store's parts on their own: unique names and delivery
// order, all-or-nothing delivery (a crash included), the summary cache,
// and parsing what was composed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "file_faults.h"
#include "file_system.h"
#include "maildir/delivery.h"
#include "maildir/mailbox.h"
#include "maildir/mailbox_index.h"
#include "maildir/summary_cache.h"
#include "maildir_test_support.h"
#include "mime/compose.h"
#include "mime/gmime_support.h"
#include "mime/names.h"
#include "mime/parse.h"

namespace maildir_test {
namespace {

using velcmc::DeliveryKey;
using velcmc::ParseDeliveryKey;

bool Before(const DeliveryKey& a, const DeliveryKey& b) {
  return std::tie(a.seconds, a.microseconds, a.sequence) <
         std::tie(b.seconds, b.microseconds, b.sequence);
}

TEST(MaildirNames, NewUniqueNamesAreDistinctAndInDeliveryOrder) {
  std::string previous = velcmc::NewUniqueName();
  for (int i = 0; i < 200; ++i) {
    std::string next = velcmc::NewUniqueName();
    EXPECT_NE(next, previous);
    EXPECT_EQ(next.find_first_of("/:"), std::string::npos) << next;
    ASSERT_TRUE(ParseDeliveryKey(next).has_time);
    EXPECT_TRUE(Before(ParseDeliveryKey(previous), ParseDeliveryKey(next)))
        << previous << " then " << next;
    previous = next;
  }
}

TEST(MaildirNames, OtherWritersNamesGiveTheirDeliveryTime) {
  DeliveryKey tagged = ParseDeliveryKey("1700000000.M123456P789V0000FD00I0001.host,S=12,W=13");
  EXPECT_TRUE(tagged.has_time);
  EXPECT_EQ(tagged.seconds, 1700000000);
  EXPECT_EQ(tagged.microseconds, 123456);
  DeliveryKey classic = ParseDeliveryKey("1700000001.4242_1.host");
  EXPECT_EQ(classic.seconds, 1700000001);
  EXPECT_TRUE(Before(tagged, classic));
  EXPECT_FALSE(ParseDeliveryKey("message-from-somewhere").has_time);
}

TEST(MaildirNames, FlagsAndReferences) {
  EXPECT_EQ(velcmc::SeenFileName("x"), "x:2,S");
  EXPECT_EQ(velcmc::SeenFileName("x:2,TF"), "x:2,FST");
  EXPECT_EQ(velcmc::SeenFileName("x:2,S"), "x:2,S");
  EXPECT_TRUE(velcmc::IsSeen("x:2,FS"));
  EXPECT_FALSE(velcmc::IsSeen("x:2,F"));
  EXPECT_EQ(velcmc::UniquePart("abc:2,S"), "abc");
  std::string long_name(400, 'n');
  std::string ref = velcmc::ReferenceOf(long_name);
  EXPECT_LE(ref.size(), velcmc::kMaxReferenceBytes);
  EXPECT_NE(ref, velcmc::ReferenceOf(std::string(400, 'm')));
  EXPECT_EQ(velcmc::ReferenceOf("short"), "short");
  EXPECT_FALSE(velcmc::IsValidMailboxName("../x"));
  EXPECT_FALSE(velcmc::IsValidMailboxName(".attachments"));
  EXPECT_FALSE(velcmc::IsValidMailboxName("passwd"));
  EXPECT_TRUE(velcmc::IsValidMailboxName("first.last+tag"));
}

class MaildirDelivery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bob_.Create());
    ASSERT_TRUE(carol_.Create());
  }
  TempDir dir_;
  velcmc::Mailbox bob_{dir_.path() / "bob"};
  velcmc::Mailbox carol_{dir_.path() / "carol"};
};

TEST_F(MaildirDelivery, CommitMovesEveryCopyIntoNew) {
  velcmc::Delivery delivery(dir_.path());
  ASSERT_EQ(delivery.Stage(bob_, "Delivered-To: bob\n", "Subject: s\n\nbody\n"), CMC_SUCCESS);
  ASSERT_EQ(delivery.Stage(carol_, "Delivered-To: carol\n", "Subject: s\n\nbody\n"), CMC_SUCCESS);
  // Staged copies are not visible to readers yet.
  EXPECT_TRUE(bob_.Scan().empty());
  ASSERT_EQ(delivery.Commit(), CMC_SUCCESS);
  auto names = FilesIn(bob_.NewDir());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(ReadAll(bob_.NewDir() / names[0]), "Delivered-To: bob\nSubject: s\n\nbody\n");
  EXPECT_EQ(FilesIn(carol_.NewDir()).size(), 1u);
  EXPECT_TRUE(FilesIn(bob_.TmpDir()).empty());
}

TEST_F(MaildirDelivery, AnAbandonedDeliveryLeavesNothingBehind) {
  {
    velcmc::Delivery delivery(dir_.path());
    ASSERT_EQ(delivery.Stage(bob_, "", "one"), CMC_SUCCESS);
    ASSERT_EQ(delivery.Stage(carol_, "", "two"), CMC_SUCCESS);
  }
  for (auto* box : {&bob_, &carol_}) {
    EXPECT_TRUE(FilesIn(box->TmpDir()).empty());
    EXPECT_TRUE(FilesIn(box->NewDir()).empty());
  }
}

TEST_F(MaildirDelivery, ACrashBetweenWritingAndMovingLeavesNoPartialMessageInNew) {
  const std::string body = "Subject: interrupted\n\n" + std::string(200000, 'z');
  // The child stages both copies and dies on the spot: no destructor, no
  // commit, as if the power had gone.
  EXPECT_EXIT(
      {
        velcmc::Delivery delivery(dir_.path());
        if (delivery.Stage(bob_, "", body) != CMC_SUCCESS) std::_Exit(1);
        if (delivery.Stage(carol_, "", body) != CMC_SUCCESS) std::_Exit(1);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  for (auto* box : {&bob_, &carol_}) {
    EXPECT_TRUE(FilesIn(box->NewDir()).empty());
    EXPECT_TRUE(box->Scan().empty());
    // What the crash left is in tmp, whole, where no reader looks.
    auto left = FilesIn(box->TmpDir());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(ReadAll(box->TmpDir() / left[0]), body);
  }
  // The delivery never committed: the next logon's recovery undoes it.
  velcmc::RecoverDeliveries(dir_.path());
  for (auto* box : {&bob_, &carol_}) {
    EXPECT_TRUE(FilesIn(box->TmpDir()).empty());
    EXPECT_TRUE(FilesIn(box->NewDir()).empty());
  }
  EXPECT_TRUE(FilesIn(velcmc::JournalDir(dir_.path())).empty());
}

TEST_F(MaildirDelivery, ACrashAtAnyStepIsAllOrNothingOnceRecovered) {
  // Three copies (one written, two linked), the process killed after each
  // step in turn, until a delivery runs to its end. Whatever the step, the
  // recovery leaves the message in every mailbox or in none, whole.
  const std::string body = "Subject: step\n\n" + std::string(100000, 's');
  velcmc::Mailbox dave(dir_.path() / "dave");
  ASSERT_TRUE(dave.Create());
  bool completed = false;
  int delivered = 0, undone = 0;
  for (int step = 1; step < 200 && !completed; ++step) {
    const int ended = veltest::RunCrashingAfter(step, [&] {
      velcmc::Delivery delivery(dir_.path());
      return delivery.Stage(bob_, "", body) == CMC_SUCCESS && !delivery.StageLink(carol_) &&
             !delivery.StageLink(dave) && !delivery.Commit();
    });
    ASSERT_NE(ended, -2);
    completed = ended >= 0;
    if (completed) {
      ASSERT_EQ(ended, 0) << "step " << step;
    }
    velcmc::RecoverDeliveries(dir_.path());
    std::vector<size_t> counts;
    // A copy made but not yet listed in the journal when the crash came is
    // left in tmp, where no reader looks, for the sweep of tmp's old files;
    // there is at most one such copy.
    size_t left_in_tmp = 0;
    for (auto* box : {&bob_, &carol_, &dave}) {
      for (const std::string& name : FilesIn(box->TmpDir())) {
        ++left_in_tmp;
        fs::remove(box->TmpDir() / name);
      }
      const auto in_new = FilesIn(box->NewDir());
      counts.push_back(in_new.size());
      for (const std::string& name : in_new) {
        EXPECT_EQ(ReadAll(box->NewDir() / name), body) << "step " << step;
        fs::remove(box->NewDir() / name);
      }
    }
    EXPECT_LE(left_in_tmp, 1u) << "step " << step;
    EXPECT_TRUE(counts == std::vector<size_t>(3, 0) || counts == std::vector<size_t>(3, 1))
        << "step " << step << ": " << counts[0] << counts[1] << counts[2];
    (counts[0] == 1 ? delivered : undone)++;
    // A crash between a journal's making and its naming leaves an empty
    // hidden one, removed once it is old; nothing else stays.
    for (const std::string& name : FilesIn(velcmc::JournalDir(dir_.path()))) {
      EXPECT_EQ(name.front(), '.') << "step " << step;
      fs::remove(velcmc::JournalDir(dir_.path()) / name);
    }
  }
  EXPECT_TRUE(completed);
  // Both outcomes were reached: a crash before the mark undoes, after it
  // completes.
  EXPECT_GT(delivered, 1);
  EXPECT_GT(undone, 1);
}

using veltest::FailWrite;

TEST_F(MaildirDelivery, AFailedWriteAnywhereIsOneCodeAndLeavesNoCopy) {
  // A full disk, a full quota and a file grown past its limit are
  // CMC_E_DISK_FULL wherever the delivery meets them; any other failure
  // is CMC_E_FAILURE. Either way no copy is left, in new or in tmp.
  velcmc::Mailbox dave(dir_.path() / "dave");
  ASSERT_TRUE(dave.Create());
  const std::string body = "Subject: full\n\n" + std::string(50000, 'f');
  for (auto [error, code] : {std::pair{ENOSPC, CMC_E_DISK_FULL}, std::pair{EDQUOT, CMC_E_DISK_FULL},
                             std::pair{EFBIG, CMC_E_DISK_FULL}, std::pair{EIO, CMC_E_FAILURE}}) {
    bool reached_the_end = false;
    for (int n = 1; n < 100 && !reached_the_end; ++n) {
      FailWrite failing(n, error);
      vel::os::FileSystem* was = vel::os::ReplaceFiles(&failing);
      CMC_return_code rc;
      {
        velcmc::Delivery delivery(dir_.path());
        rc = delivery.Stage(bob_, "", body);
        if (rc == CMC_SUCCESS) rc = delivery.StageCopy(carol_, "Delivered-To: carol\n");
        if (rc == CMC_SUCCESS) rc = delivery.StageLink(dave);
        if (rc == CMC_SUCCESS) rc = delivery.Commit();
      }
      vel::os::ReplaceFiles(was);
      reached_the_end = !failing.failed();
      if (reached_the_end) {
        EXPECT_EQ(rc, CMC_SUCCESS);
      } else {
        EXPECT_EQ(rc, static_cast<CMC_return_code>(code)) << std::strerror(error) << " at " << n;
      }
      for (auto* box : {&bob_, &carol_, &dave}) {
        EXPECT_TRUE(FilesIn(box->TmpDir()).empty()) << n;
        EXPECT_EQ(FilesIn(box->NewDir()).size(), reached_the_end ? 1u : 0u) << n;
        for (const std::string& name : FilesIn(box->NewDir())) fs::remove(box->NewDir() / name);
      }
    }
    EXPECT_TRUE(reached_the_end);
  }
}

TEST_F(MaildirDelivery, StagingIntoAMissingMailboxFails) {
  velcmc::Mailbox gone(dir_.path() / "gone");
  velcmc::Delivery delivery(dir_.path());
  EXPECT_EQ(delivery.Stage(gone, "", "x"), CMC_E_FAILURE);
}

TEST(MaildirCache, ParsesEachMessageOnceAndForgetsRemovedOnes) {
  TempDir dir;
  velcmc::Mailbox box(dir.path() / "box");
  ASSERT_TRUE(box.Create());
  WriteAll(box.NewDir() / "1.M1P1.h", "Subject: one\nFrom: A <a@x>\n\n1\n");
  WriteAll(box.NewDir() / "2.M1P1.h", "Subject: two\n\n2\n");
  velcmc::SummaryCache cache;
  bool vanished = false;
  auto entries = box.Scan();
  auto first = cache.Summaries(box, entries, &vanished);
  ASSERT_FALSE(vanished);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(cache.Size(), 2u);

  // A unique name never changes content, so what was parsed is kept: a
  // rewrite under the same name (which no maildir writer does) shows the
  // cache was used instead of the file.
  WriteAll(box.NewDir() / "1.M1P1.h", "Subject: changed\n\n");
  auto second = cache.Summaries(box, box.Scan(), &vanished);
  for (size_t i = 0; i < entries.size(); ++i)
    if (entries[i].file_name == "1.M1P1.h") {
      EXPECT_EQ(second[i]->subject, "one");
    }

  fs::remove(box.NewDir() / "2.M1P1.h");
  cache.Summaries(box, box.Scan(), &vanished);
  EXPECT_EQ(cache.Size(), 1u);

  // A file listed but gone before it could be parsed is reported.
  std::vector<velcmc::MailboxEntry> stale = {{"3.M1P1.h", true}};
  vanished = false;
  auto none = cache.Summaries(box, stale, &vanished);
  EXPECT_TRUE(vanished);
  EXPECT_EQ(none[0], nullptr);
}

// A file system clock the test sets: whole seconds, off this host's by
// whatever the test chooses.
class SetClock : public velcmc::FileClock {
 public:
  // fraction: nanoseconds the clock shows past now's second.
  explicit SetClock(const timespec* now, long fraction = 0) : now_(now), fraction_(fraction) {}
  std::optional<timespec> Now() override {
    if (changed) changed();
    return timespec{now_->tv_sec, fraction_};
  }
  // Stamps what the session's own change touched, as the file system did
  // before the present is learnt; set around such a change.
  std::function<void()> changed;

 private:
  const timespec* now_;
  const long fraction_;
};

// What a listing gives: reference and whether it is flagged read, in
// listing order.
std::vector<std::pair<std::string, bool>> Listed(velcmc::MailboxIndex& index) {
  CMC_message_summary* block = nullptr;
  uint32_t count = 0;
  std::shared_ptr<const void> keep;
  bool lent = false;
  EXPECT_TRUE(index.List(nullptr, false, nullptr, 0, &block, &count, &keep, &lent));
  std::vector<std::pair<std::string, bool>> listed;
  for (uint32_t i = 0; i < count; ++i) {
    const CMC_message_reference* ref = block[i].message_reference;
    listed.emplace_back(std::string(ref->string, ref->length),
                        (block[i].summary_flags & CMC_SUM_READ) != 0);
  }
  if (!lent) std::free(block);
  return listed;
}

// Other programs deliver, delete, move to cur and rename flags at random,
// and the session marks messages read itself, on a file system whose clock
// runs a minute behind or ahead of this host's and keeps whole seconds for
// directories (each change stamps them with that clock, which ticks now and
// then), while the file the present is learnt from shows finer times for
// every other seed. After each change the session lists none, one or two
// times. Every listing holds exactly the messages there are, with their
// read flags.
TEST(MaildirIndex, ListingsFollowEveryChangeWhateverTheFileSystemsClock) {
  const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (const int offset : {-60, 60}) {
    for (uint32_t seed = 1; seed <= 200 && std::chrono::steady_clock::now() < stop; ++seed) {
      SCOPED_TRACE("clock " + std::to_string(offset) + " s, seed " + std::to_string(seed));
      std::mt19937 random(seed);
      TempDir dir;
      velcmc::Mailbox box(dir.path() / "box");
      ASSERT_TRUE(box.Create());
      timespec now{std::time(nullptr) + offset, 0};
      const auto stamp = [&](const fs::path& d) {
        const timespec times[2] = {now, now};
        ASSERT_EQ(utimensat(AT_FDCWD, d.c_str(), times, 0), 0);
      };
      stamp(box.NewDir());
      stamp(box.CurDir());
      auto clock_owned = std::make_unique<SetClock>(&now, seed % 2 ? 500000123 : 0);
      SetClock& clock = *clock_owned;
      velcmc::MailboxIndex index(box, std::make_shared<velcmc::SummaryCache>(),
                                 std::move(clock_owned));
      // The truth: unique name to the file's name and directory.
      std::map<std::string, std::pair<std::string, bool>> present;  // unique -> (name, in new)
      int delivered = 0;
      for (int step = 0; step < 60; ++step) {
        if (random() % 3 == 0) ++now.tv_sec;
        const int what = static_cast<int>(random() % 5);
        auto pick = [&](bool want_new,
                        bool any) -> std::map<std::string, std::pair<std::string, bool>>::iterator {
          std::vector<std::string> keys;
          for (const auto& [unique, where] : present)
            if (any || where.second == want_new) keys.push_back(unique);
          if (keys.empty()) return present.end();
          return present.find(keys[random() % keys.size()]);
        };
        if (what == 0 || present.empty()) {
          const std::string unique = std::to_string(1300000000 + delivered) + ".M" +
                                     std::to_string(delivered) + "P1.outside";
          ++delivered;
          WriteAll(box.TmpDir() / unique, "Subject: " + unique + "\n\nx\n");
          fs::rename(box.TmpDir() / unique, box.NewDir() / unique);
          present[unique] = {unique, true};
          stamp(box.NewDir());
        } else if (what == 1) {
          auto it = pick(false, true);
          fs::remove((it->second.second ? box.NewDir() : box.CurDir()) / it->second.first);
          stamp(it->second.second ? box.NewDir() : box.CurDir());
          present.erase(it);
        } else if (what == 2) {
          auto it = pick(true, false);
          if (it == present.end()) continue;
          const std::string to = it->first + (random() % 2 ? ":2,S" : ":2,F");
          fs::rename(box.NewDir() / it->second.first, box.CurDir() / to);
          it->second = {to, false};
          stamp(box.NewDir());
          stamp(box.CurDir());
        } else if (what == 4) {
          // The session itself marks a message read, where it finds it
          // (as a read does: where the index saw it, and when it is no
          // longer there, where it is).
          auto it = pick(false, true);
          std::optional<velcmc::MailboxEntry> entry = index.Find(it->first);
          ASSERT_TRUE(entry);
          if (!fs::exists(box.PathOf(*entry))) {
            index.Forget();
            entry = index.Find(it->first);
            ASSERT_TRUE(entry);
          }
          const auto stamp_changed = [&, in_new = entry->in_new] {
            if (in_new) stamp(box.NewDir());
            stamp(box.CurDir());
          };
          clock.changed = stamp_changed;
          ASSERT_TRUE(index.MarkSeen(it->first, *entry));
          clock.changed = nullptr;
          stamp_changed();  // when the index did not learn the present after it
          it->second = {velcmc::SeenFileName(it->second.first), false};
        } else {
          auto it = pick(false, false);
          if (it == present.end()) continue;
          static const char* const kFlags[] = {":2,", ":2,S", ":2,F", ":2,FS"};
          const std::string to = it->first + kFlags[random() % 4];
          fs::rename(box.CurDir() / it->second.first, box.CurDir() / to);
          it->second.first = to;
          stamp(box.CurDir());
        }
        std::vector<std::pair<std::string, bool>> expected;
        for (const auto& [unique, where] : present)
          expected.emplace_back(unique, velcmc::IsSeen(where.first));
        for (int again = 0; again < static_cast<int>(random() % 3); ++again)
          ASSERT_EQ(Listed(index), expected) << "after step " << step;
      }
    }
  }
}

// A file server's file system seen from a client, as sshfs shows it: every
// time is the server's, offset from this host's clock and kept in whole
// seconds (the change time is the modification time), except a file's time
// set to "now" from the client (TouchFile), which the server takes as the
// client gives it.
class ServerClockFiles : public vel::os::FileSystemWrapper {
 public:
  explicit ServerClockFiles(int64_t offset_seconds)
      : FileSystemWrapper(vel::os::SystemFileSystem()), offset_(offset_seconds) {}
  bool TouchFile(int fd) override {
    touched_.insert(fd);
    return target().TouchFile(fd);
  }
  bool CloseFile(int fd) override {
    touched_.erase(fd);
    return target().CloseFile(fd);
  }
  bool StatFile(int fd, vel::os::FileInfo* info) override {
    if (!target().StatFile(fd, info)) return false;
    AsServer(info, touched_.count(fd) ? 0 : offset_);
    return true;
  }
  bool Stat(const char* path, vel::os::FileInfo* info, bool follow_link) override {
    if (!target().Stat(path, info, follow_link)) return false;
    AsServer(info, offset_);
    return true;
  }

 private:
  static void AsServer(vel::os::FileInfo* info, int64_t offset) {
    const int64_t seconds = info->modified_ns / 1000000000 + offset;
    info->modified_ns = seconds * 1000000000;
    info->changed_ns = info->modified_ns;
  }
  const int64_t offset_;
  std::set<int> touched_;  // one thread only
};

// Other programs deliver, delete and mark mail on a file server whose clock
// runs a minute behind or ahead of this host's (see ServerClockFiles), and
// the session marks messages read itself, while it lists with the index as
// the provider makes it. Every listing holds exactly the messages there are,
// with their read flags: none delivered is missed, none deleted is listed.
TEST(MaildirIndex, ListingsFollowEveryChangeOnAFileServerWithItsOwnClock) {
  const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (const int offset : {-60, 60}) {
    ServerClockFiles server(offset);
    vel::os::FileSystem* was = vel::os::ReplaceFiles(&server);
    for (uint32_t seed = 1; seed <= 100 && std::chrono::steady_clock::now() < stop; ++seed) {
      SCOPED_TRACE("clock " + std::to_string(offset) + " s, seed " + std::to_string(seed));
      std::mt19937 random(seed);
      TempDir dir;
      velcmc::Mailbox box(dir.path() / "box");
      ASSERT_TRUE(box.Create());
      velcmc::MailboxIndex index(box, std::make_shared<velcmc::SummaryCache>());
      std::map<std::string, std::string> present;  // unique -> file name (in cur when it has ':')
      const auto path_of = [&](const std::string& name) {
        return (name.find(':') == std::string::npos ? box.NewDir() : box.CurDir()) / name;
      };
      int delivered = 0;
      for (int step = 0; step < 40; ++step) {
        const int what = static_cast<int>(random() % 4);
        std::vector<std::string> keys;
        for (const auto& entry : present) keys.push_back(entry.first);
        if (what == 0 || keys.empty()) {
          const std::string unique = std::to_string(1300000000 + delivered) + ".M" +
                                     std::to_string(delivered) + "P1.server";
          ++delivered;
          WriteAll(box.TmpDir() / unique, "Subject: " + unique + "\n\nx\n");
          fs::rename(box.TmpDir() / unique, box.NewDir() / unique);
          present[unique] = unique;
        } else if (what == 1) {
          const std::string unique = keys[random() % keys.size()];
          fs::remove(path_of(present[unique]));
          present.erase(unique);
        } else if (what == 2) {
          const std::string unique = keys[random() % keys.size()];
          const std::string to = unique + (random() % 2 ? ":2,S" : ":2,");
          fs::rename(path_of(present[unique]), box.CurDir() / to);
          present[unique] = to;
        } else {
          const std::string unique = keys[random() % keys.size()];
          std::optional<velcmc::MailboxEntry> entry = index.Find(unique);
          ASSERT_TRUE(entry);
          if (!fs::exists(box.PathOf(*entry))) {
            index.Forget();
            entry = index.Find(unique);
            ASSERT_TRUE(entry);
          }
          ASSERT_TRUE(index.MarkSeen(unique, *entry));
          present[unique] = velcmc::SeenFileName(present[unique]);
        }
        std::vector<std::pair<std::string, bool>> expected;
        for (const auto& [unique, name] : present)
          expected.emplace_back(unique, velcmc::IsSeen(name));
        for (int again = 0; again < 1 + static_cast<int>(random() % 2); ++again)
          ASSERT_EQ(Listed(index), expected) << "after step " << step;
      }
    }
    vel::os::ReplaceFiles(was);
  }
}

// A file system whose clock the test sets and which stamps new and cur
// itself: when armed, learning the present stamps both directories with
// it first, as the file system stamped them for the session's own rename.
class StampingClock : public velcmc::FileClock {
 public:
  StampingClock(const velcmc::Mailbox& box, const timespec* stamp, const timespec* now)
      : box_(box), stamp_(stamp), now_(now) {}
  std::optional<timespec> Now() override {
    if (armed) {
      const timespec times[2] = {*stamp_, *stamp_};
      for (const fs::path& d : {box_.NewDir(), box_.CurDir()})
        EXPECT_EQ(utimensat(AT_FDCWD, d.c_str(), times, 0), 0);
    }
    return *now_;
  }
  bool armed = false;

 private:
  const velcmc::Mailbox& box_;
  const timespec* stamp_;
  const timespec* now_;
};

void Stamp(const fs::path& dir, timespec time) {
  const timespec times[2] = {time, time};
  ASSERT_EQ(utimensat(AT_FDCWD, dir.c_str(), times, 0), 0);
}

// Another program delivers into new, which the file system stamps with time.
void DeliverOutside(const velcmc::Mailbox& box, const std::string& unique, timespec time) {
  WriteAll(box.TmpDir() / unique, "Subject: " + unique + "\n\nx\n");
  fs::rename(box.TmpDir() / unique, box.NewDir() / unique);
  Stamp(box.NewDir(), time);
}

// A delivery after which new's modification time is set back to what it
// was (by a tool that keeps times, or a clock stepped back) is seen by its
// change time, which nothing sets back.
TEST(MaildirIndex, ADirectorySetBackToItsEarlierTimeIsReadAgain) {
  TempDir dir;
  velcmc::Mailbox box(dir.path() / "box");
  ASSERT_TRUE(box.Create());
  const timespec earlier{std::time(nullptr) - 10, 0};
  DeliverOutside(box, "1300000000.M1P1.a", earlier);
  // Past the file system's tick, so that the first listing finds new
  // settled by both its times.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  velcmc::MailboxIndex index(box, std::make_shared<velcmc::SummaryCache>());
  ASSERT_EQ(Listed(index),
            (std::vector<std::pair<std::string, bool>>{{"1300000000.M1P1.a", false}}));
  DeliverOutside(box, "1300000001.M1P1.b", earlier);
  EXPECT_EQ(Listed(index), (std::vector<std::pair<std::string, bool>>{
                               {"1300000000.M1P1.a", false}, {"1300000001.M1P1.b", false}}));
}

// The session's own renames are followed without reading the directories
// again, yet a delivery by another program in the same step of the file
// system's clock as such a rename, which leaves new's time as the rename
// left it, is listed by the next listing; and one the directory's time
// cannot show at all (within the rename itself) by the first listing once
// the index's trust in its own changes has run out, however many renames
// follow; and one between the last read and the rename by the next listing.
TEST(MaildirIndex, ADeliveryBesideTheSessionsOwnRenameIsListed) {
  for (const long step : {1000000000L, 1L}) {  // whole seconds; nanoseconds
    SCOPED_TRACE("clock step " + std::to_string(step) + " ns");
    TempDir dir;
    velcmc::Mailbox box(dir.path() / "box");
    ASSERT_TRUE(box.Create());
    const std::string a = "1300000000.M1P1.a", b = "1300000001.M1P1.b";
    WriteAll(box.NewDir() / a, "Subject: a\n\n1\n");
    WriteAll(box.NewDir() / b, "Subject: b\n\n2\n");
    const time_t second = std::time(nullptr);
    Stamp(box.NewDir(), {second - 10, 0});
    Stamp(box.CurDir(), {second - 10, 0});
    timespec now{second, 0}, stamp{second, 0};
    auto clock_owned = std::make_unique<StampingClock>(box, &stamp, &now);
    StampingClock& clock = *clock_owned;
    velcmc::MailboxIndex index(box, std::make_shared<velcmc::SummaryCache>(),
                               std::move(clock_owned));
    using Listing = std::vector<std::pair<std::string, bool>>;
    ASSERT_EQ(Listed(index), (Listing{{a, false}, {b, false}}));

    // The rename is stamped with the present (whole seconds), or just
    // before it (nanoseconds).
    if (step == 1) {
      stamp.tv_nsec = 100;
      now.tv_nsec = 200;
    }
    std::optional<velcmc::MailboxEntry> entry = index.Find(a);
    ASSERT_TRUE(entry);
    clock.armed = true;
    ASSERT_TRUE(index.MarkSeen(a, *entry));
    clock.armed = false;
    ASSERT_EQ(Listed(index), (Listing{{a, true}, {b, false}}));
    const std::string c = "1300000002.M1P1.c";
    DeliverOutside(box, c, stamp);
    if (step != 1) {
      ASSERT_EQ(Listed(index), (Listing{{a, true}, {b, false}, {c, false}}));
      continue;
    }
    // On a clock as fine as this, new's time would show a delivery after
    // the rename; this one came within it. More renames follow before the
    // index's trust runs out.
    now.tv_nsec = 50000000;
    stamp.tv_nsec = 49000000;
    entry = index.Find(b);
    ASSERT_TRUE(entry);
    clock.armed = true;
    ASSERT_TRUE(index.MarkSeen(b, *entry));
    clock.armed = false;
    now.tv_nsec = 100000200;
    ASSERT_EQ(Listed(index), (Listing{{a, true}, {b, true}, {c, false}}));

    // A delivery after the last read and before the session's own rename
    // is no change of the session's: new is read again.
    const std::string d = "1300000003.M1P1.d";
    DeliverOutside(box, d, {second, 100000300});
    stamp.tv_nsec = 100000400;
    now.tv_nsec = 100000500;
    entry = index.Find(c);
    ASSERT_TRUE(entry);
    clock.armed = true;
    ASSERT_TRUE(index.MarkSeen(c, *entry));
    clock.armed = false;
    ASSERT_EQ(Listed(index), (Listing{{a, true}, {b, true}, {c, true}, {d, false}}));
  }
}

// The file system's present, learnt from a file created in the mailbox:
// never before the time of a directory changed earlier; the file is gone
// again once the time is learnt, and no time is learnt where no file can be
// created.
TEST(MaildirIndex, TheFileSystemsPresentIsLearntFromAFileOfTheMailbox) {
  TempDir dir;
  velcmc::Mailbox box(dir.path() / "box");
  ASSERT_TRUE(box.Create());
  auto clock = velcmc::MailboxFileClock(box);
  for (int i = 0; i < 20; ++i) {
    WriteAll(box.NewDir() / std::to_string(i), "x");
    struct stat changed;
    ASSERT_EQ(stat(box.NewDir().c_str(), &changed), 0);
    const std::optional<timespec> now = clock->Now();
    ASSERT_TRUE(now);
    EXPECT_TRUE(std::tie(now->tv_sec, now->tv_nsec) >=
                std::tie(changed.st_mtim.tv_sec, changed.st_mtim.tv_nsec));
  }
  for (const auto& entry : fs::directory_iterator(box.Dir()))
    EXPECT_NE(entry.path().filename().string().rfind(".velcmc-clock", 0), 0u) << entry.path();

  velcmc::Mailbox missing(dir.path() / "missing");
  EXPECT_FALSE(velcmc::MailboxFileClock(missing)->Now());
}

// Composes a message into memory, as the provider composes it into a file.
std::string Compose(const velcmc::OutgoingMessage& message) {
  velcmc::GObjectPtr<GMimeStream> out(g_mime_stream_mem_new());
  EXPECT_GT(velcmc::WriteComposedMessage(message, out.get()), 0);
  return velcmc::StreamBytes(out.get());
}

velcmc::ParsedMessage Parse(const std::string& stored) {
  velcmc::GObjectPtr<GMimeStream> in(
      g_mime_stream_mem_new_with_buffer(stored.data(), stored.size()));
  return velcmc::ParseMessage(in.get(), {});
}

std::string Content(const velcmc::ParsedMessage::Attachment& attachment) {
  velcmc::GObjectPtr<GMimeStream> out(g_mime_stream_mem_new());
  EXPECT_TRUE(velcmc::WriteAttachment(attachment, out.get()));
  return velcmc::StreamBytes(out.get());
}

velcmc::GObjectPtr<GMimeStream> Bytes(const std::string& data) {
  return velcmc::GObjectPtr<GMimeStream>(
      g_mime_stream_mem_new_with_buffer(data.data(), data.size()));
}

TEST(MaildirParse, ComposedMessagesParseBackAndEveryTruncationIsSurvived) {
  velcmc::EnsureGMime();
  const std::string text = "caf\xc3\xa9\n" + std::string(300, 'l') + " \n";
  const std::string binary("\x00\xff\x01", 3);
  velcmc::OutgoingMessage out;
  out.from = {"alice", "alice@here"};
  out.to = {{"Bob", "bob@here"}};
  out.subject =
      "Stra\xc3\x9f"
      "e \xe2\x9c\x93 " +
      std::string(120, 's');
  out.type = "Custom: type \xc3\xa4";
  out.text = text;
  out.attachments.push_back({"b\xc3\xa4r.bin", Bytes(binary)});
  out.attachments.push_back({"n.txt", Bytes("a\r\nb")});
  out.domain = "here";
  std::string stored = Compose(out);

  velcmc::ParsedMessage back = Parse(stored);
  EXPECT_EQ(back.subject, out.subject);
  EXPECT_EQ(back.type, out.type);
  EXPECT_EQ(back.text, text);
  ASSERT_EQ(back.attachments.size(), 2u);
  EXPECT_EQ(back.attachments[0].title, out.attachments[0].title);
  EXPECT_EQ(Content(back.attachments[0]), binary);
  EXPECT_EQ(Content(back.attachments[1]), "a\r\nb");
  ASSERT_EQ(back.recipients.size(), 2u);
  EXPECT_EQ(back.recipients[1].address.name, "Bob");

  // Every prefix of the message is malformed in its own way.
  for (size_t length = 0; length < stored.size(); length += 7) {
    velcmc::ParsedMessage cut = Parse(stored.substr(0, length));
    for (const auto& attachment : cut.attachments) Content(attachment);
  }
}

}  // namespace
}  // namespace maildir_test
