// Named notifications. Delivery tests use the real /tmp/.notify (that is the contract with
// other processes) under unique names; the hostile-directory cases use private directories.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/Notify.h"
#include "tests/support/TestSupport.h"

namespace korvel::platform {
namespace {

using korvel::test::TempDir;
using korvel::test::WaitUntil;

/* A notification name under the real directory whose file goes away with the test. */
class ScopedName {
 public:
  explicit ScopedName(const std::string& what) {
    static int counter = 0;
    name_ =
        "korvel-test." + std::to_string(getpid()) + "." + std::to_string(++counter) + "." + what;
  }
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

bool IsDirectory(const std::string& path, mode_t* mode = nullptr) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  if (mode) *mode = st.st_mode & 07777;
  return S_ISDIR(st.st_mode);
}

TEST(Notify, PostAndShellTouchReachLiveRegistrationsOfTheNameOnTheMainQueue) {
  ScopedName name("delivery"), otherName("other");
  std::atomic<int> kept{0}, cancelled{0}, other{0};
  std::thread::id ranOn;
  int keptToken = NotifyRegister(*name, DispatchQueue::Main, [&] {
    ranOn = std::this_thread::get_id();
    ++kept;
  });
  int cancelledToken = NotifyRegister(*name, DispatchQueue::Main, [&] { ++cancelled; });
  int otherToken = NotifyRegister(*otherName, DispatchQueue::Main, [&] { ++other; });
  ASSERT_GT(keptToken, 0);
  ASSERT_GT(cancelledToken, 0);
  ASSERT_NE(keptToken, cancelledToken);

  ASSERT_TRUE(NotifyPost(*name));
  ASSERT_TRUE(PumpMainQueueUntil([&] { return kept >= 1 && cancelled >= 1; }));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_TRUE(IsDirectory(NotifyDirectory()));
  int cancelledBefore = cancelled, keptBefore = kept;
  NotifyCancel(cancelledToken);
  NotifyCancel(cancelledToken);  // twice is harmless

  // Another process only touches the file.
  ASSERT_EQ(std::system(("touch '" + NotifyDirectory() + "/" + *name + "'").c_str()), 0);
  ASSERT_TRUE(PumpMainQueueUntil([&] { return kept > keptBefore; }));
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
  std::string victim = tmp.file("victim"), link = tmp.file("link"), plain = tmp.file("plain");
  ASSERT_EQ(mkdir(victim.c_str(), 0700), 0);
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  korvel::test::WriteFile(plain, "");
  std::vector<std::string> hostiles{link, plain};
  if (geteuid() == 0) {  // a directory of another user, though sticky like /tmp
    hostiles.push_back(tmp.file("foreign"));
    ASSERT_EQ(mkdir(hostiles.back().c_str(), 01777), 0);
    ASSERT_EQ(chown(hostiles.back().c_str(), 65534, 65534), 0);
  }
  for (const std::string& hostile : hostiles) {
    SetNotifyDirectoryForTesting(hostile);
    EXPECT_EQ(NotifyRegister("n", DispatchQueue::Main, [] {}), 0) << hostile;
    EXPECT_FALSE(NotifyPost("n")) << hostile;
  }
  EXPECT_FALSE(std::filesystem::exists(victim + "/n")) << "nothing was written through the link";

  // A symbolic link planted at a notification's own path is not followed either.
  std::string dir = tmp.file("notify"), target = tmp.file("target");
  SetNotifyDirectoryForTesting(dir);
  EXPECT_EQ(NotifyDirectory(), dir);
  ASSERT_EQ(symlink(target.c_str(), (dir + "/trap").c_str()), 0);
  EXPECT_FALSE(NotifyPost("trap"));
  EXPECT_FALSE(std::filesystem::exists(target));
  SetNotifyDirectoryForTesting("");
}

TEST(Notify, DirectoryIsCreatedStickyAndWorldWritableDespiteTheUmask) {
  TempDir tmp;
  std::string dir = tmp.file("fresh");
  SetNotifyDirectoryForTesting(dir);
  mode_t old = umask(022);
  EXPECT_EQ(NotifyDirectory(), dir);
  umask(old);
  mode_t mode = 0;
  ASSERT_TRUE(IsDirectory(dir, &mode));
  EXPECT_EQ(mode, 01777u);

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
