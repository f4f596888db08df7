// Named notifications. Delivery tests use the real /tmp/.notify (that is the contract with
// other processes) under unique names; the hostile-directory cases use private directories.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/Notify.h"
#include "tests/support/TestSupport.h"

namespace korvel::platform {
namespace {

using namespace std::chrono_literals;
using korvel::test::TempDir;
using korvel::test::WaitUntil;

std::string UniqueName(const std::string& what) {
  static int counter = 0;
  return "korvel-test." + std::to_string(getpid()) + "." + std::to_string(++counter) + "." + what;
}

/* A notification name under the real directory whose file goes away with the test. */
class ScopedName {
 public:
  explicit ScopedName(const std::string& what) : name_(UniqueName(what)) {}
  ~ScopedName() { unlink((NotifyDirectory() + "/" + name_).c_str()); }
  const std::string& operator*() const { return name_; }

 private:
  std::string name_;
};

/* Runs main-queue work as a host would until `condition` holds or the deadline passes. */
bool PumpMainQueueUntil(const std::function<bool()>& condition) {
  return WaitUntil([&] {
    pollfd p{Korvel_MainQueueFD(), POLLIN, 0};
    if (poll(&p, 1, 0) == 1) Korvel_RunMainQueue();
    return condition();
  });
}

TEST(Notify, PostAndShellTouchReachTheHandlerOnTheMainQueue) {
  ScopedName name("delivery");
  std::atomic<int> calls{0};
  std::thread::id ranOn;
  int token = NotifyRegister(*name, DispatchQueue::Main, [&] {
    ranOn = std::this_thread::get_id();
    ++calls;
  });
  ASSERT_GT(token, 0);

  ASSERT_TRUE(NotifyPost(*name));
  EXPECT_TRUE(PumpMainQueueUntil([&] { return calls >= 1; }));
  EXPECT_EQ(ranOn, std::this_thread::get_id());

  int afterPost = calls;
  std::string touch = "touch '" + NotifyDirectory() + "/" + *name + "'";
  ASSERT_EQ(std::system(touch.c_str()), 0);
  EXPECT_TRUE(PumpMainQueueUntil([&] { return calls > afterPost; }));

  struct stat st;
  ASSERT_EQ(lstat(NotifyDirectory().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  NotifyCancel(token);
}

TEST(Notify, CancelStopsDeliveryOtherRegistrationsGoOn) {
  ScopedName name("cancel");
  std::atomic<int> kept{0}, cancelled{0}, other{0};
  int keptToken = NotifyRegister(*name, DispatchQueue::Utility, [&] { ++kept; });
  int cancelledToken = NotifyRegister(*name, DispatchQueue::Utility, [&] { ++cancelled; });
  ScopedName otherName("other");
  int otherToken = NotifyRegister(*otherName, DispatchQueue::Utility, [&] { ++other; });
  ASSERT_GT(keptToken, 0);
  ASSERT_GT(cancelledToken, 0);
  ASSERT_NE(keptToken, cancelledToken);

  ASSERT_TRUE(NotifyPost(*name));
  ASSERT_TRUE(WaitUntil([&] { return kept >= 1 && cancelled >= 1; }));
  int cancelledBefore = cancelled;
  NotifyCancel(cancelledToken);
  NotifyCancel(cancelledToken);  // twice is harmless

  int keptBefore = kept;
  ASSERT_TRUE(NotifyPost(*name));
  ASSERT_TRUE(WaitUntil([&] { return kept > keptBefore; }));
  // Both deliveries would have come from the same inotify read.
  EXPECT_EQ(cancelled.load(), cancelledBefore);
  EXPECT_EQ(other.load(), 0) << "another name's registration is not woken";
  NotifyCancel(keptToken);
  NotifyCancel(otherToken);
}

TEST(Notify, AHandlerQueuedBeforeItsCancellationDoesNotRun) {
  korvel::test::VirtualDispatchScope scope;
  ScopedName name("queued");
  int cancelledCalls = 0, keptCalls = 0;
  int cancelledToken = NotifyRegister(*name, DispatchQueue::Main, [&] { ++cancelledCalls; });
  int keptToken = NotifyRegister(*name, DispatchQueue::Main, [&] { ++keptCalls; });
  ASSERT_GT(cancelledToken, 0);
  ASSERT_GT(keptToken, 0);

  ASSERT_TRUE(NotifyPost(*name));
  ASSERT_TRUE(WaitUntil([&] { return scope.dispatcher().pendingCount() >= 2; }));
  NotifyCancel(cancelledToken);
  scope.dispatcher().runDue();

  EXPECT_EQ(cancelledCalls, 0);
  EXPECT_GE(keptCalls, 1);
  NotifyCancel(keptToken);
  // Deliveries still on their way must not outlive the handler's captures.
  scope.dispatcher().runDue();
}

TEST(Notify, RefusesBadNamesAndAnythingButARealDirectory) {
  for (const char* bad : {"", ".", "..", "a/b", "../escape"}) {
    EXPECT_EQ(NotifyRegister(bad, DispatchQueue::Main, [] {}), 0) << bad;
    EXPECT_FALSE(NotifyPost(bad)) << bad;
  }

  TempDir tmp;
  std::string victim = tmp.file("victim");
  ASSERT_EQ(mkdir(victim.c_str(), 0700), 0);
  std::string link = tmp.file("link");
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  std::string plain = tmp.file("plain");
  korvel::test::WriteFile(plain, "");

  for (const std::string& hostile : {link, plain}) {
    SetNotifyDirectoryForTesting(hostile);
    EXPECT_EQ(NotifyRegister("n", DispatchQueue::Main, [] {}), 0) << hostile;
    EXPECT_FALSE(NotifyPost("n")) << hostile;
  }
  SetNotifyDirectoryForTesting("");
  struct stat st;
  EXPECT_NE(lstat((victim + "/n").c_str(), &st), 0) << "nothing was written through the link";

  // A symbolic link planted at a notification's own path is not followed either.
  std::string dir = tmp.file("notify");
  SetNotifyDirectoryForTesting(dir);
  std::string target = tmp.file("target");
  ASSERT_NE(lstat(dir.c_str(), &st), 0);
  EXPECT_EQ(NotifyDirectory(), dir);
  ASSERT_EQ(symlink(target.c_str(), (dir + "/trap").c_str()), 0);
  EXPECT_FALSE(NotifyPost("trap"));
  EXPECT_NE(lstat(target.c_str(), &st), 0);
  SetNotifyDirectoryForTesting("");
}

TEST(Notify, DirectoryIsCreatedStickyAndWorldWritableDespiteTheUmask) {
  TempDir tmp;
  std::string dir = tmp.file("fresh");
  SetNotifyDirectoryForTesting(dir);
  mode_t old = umask(022);
  EXPECT_EQ(NotifyDirectory(), dir);
  umask(old);
  struct stat st;
  ASSERT_EQ(lstat(dir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 01777u);

  // Registrations follow the directory, and a post there reaches them.
  std::atomic<int> calls{0};
  int token = NotifyRegister("moved", DispatchQueue::Utility, [&] { ++calls; });
  ASSERT_GT(token, 0);
  ASSERT_TRUE(NotifyPost("moved"));
  EXPECT_TRUE(WaitUntil([&] { return calls >= 1; }));
  NotifyCancel(token);
  SetNotifyDirectoryForTesting("");
}

}  // namespace
}  // namespace korvel::platform
