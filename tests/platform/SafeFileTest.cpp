// Reading and writing files in a directory that anyone may write to.
#include "platform/SafeFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace korvel::platform {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// (FIFOs, directories, links and huge files are planted at the link's own paths in its tests.)
TEST(ReadSharedFile, ReadsRegularFilesUpToTheLimitOnly) {
  TempDir dir;
  WriteFile(dir.file("small"), std::string("a\0b", 3));
  EXPECT_EQ(ReadSharedFile(dir.file("small")), std::string("a\0b", 3));
  WriteFile(dir.file("empty"), "");
  EXPECT_EQ(ReadSharedFile(dir.file("empty")), std::string());
  EXPECT_EQ(ReadSharedFile(dir.file("missing")), std::nullopt);
  WriteFile(dir.file("at-limit"), std::string(100, 'x'));
  WriteFile(dir.file("over-limit"), std::string(101, 'x'));
  EXPECT_EQ(ReadSharedFile(dir.file("at-limit"), 100), std::string(100, 'x'));
  EXPECT_EQ(ReadSharedFile(dir.file("over-limit"), 100), std::nullopt);
  WriteFile(dir.file("mebibyte+1"), std::string(kMaxSharedFileSize + 1, 'y'));
  EXPECT_EQ(ReadSharedFile(dir.file("mebibyte+1")), std::nullopt) << "the default limit applies";
  // Devices are not files, even empty or endless ones.
  EXPECT_EQ(ReadSharedFile("/dev/null"), std::nullopt);
  EXPECT_EQ(ReadSharedFile("/dev/zero"), std::nullopt);
}

// (A link or a FIFO at the target is replaced, not written through: the link's hostile
// shared-files test.)
TEST(WriteFileAtomically, ReplacesTheTargetWithANew0644File) {
  TempDir dir;
  const std::string target = dir.file("state.json");
  mode_t oldMask = umask(077);
  EXPECT_TRUE(WriteFileAtomically(target, "first"));
  umask(oldMask);
  struct stat st;
  ASSERT_EQ(lstat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);

  // A reader holding the old file keeps reading the old content: the new one is a new
  // file renamed into place, not the old one rewritten.
  int oldFd = open(target.c_str(), O_RDONLY);
  ASSERT_GE(oldFd, 0);
  const std::string big(3 << 20, 'z');
  EXPECT_TRUE(WriteFileAtomically(target, big));
  char buffer[32] = {};
  EXPECT_EQ(pread(oldFd, buffer, sizeof buffer, 0), 5);
  EXPECT_STREQ(buffer, "first");
  close(oldFd);
  EXPECT_EQ(ReadFile(target), big);
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"state.json"});
}

TEST(WriteFileAtomically, AFailedWriteLeavesTheOldFileAndNoLitter) {
  TempDir dir;
  const std::string target = dir.file("state.json");
  WriteFile(target, "old");

  // A file-size limit makes the write fail part-way, as a full disk would.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &previous);
  rlimit oldLimit{};
  getrlimit(RLIMIT_FSIZE, &oldLimit);
  rlimit small = oldLimit;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  bool written = WriteFileAtomically(target, std::string(10000, 'n'));
  setrlimit(RLIMIT_FSIZE, &oldLimit);
  sigaction(SIGXFSZ, &previous, nullptr);
  EXPECT_FALSE(written);

  if (geteuid() != 0) {  // root writes into read-only directories
    ASSERT_EQ(chmod(dir.path().c_str(), 0500), 0);
    EXPECT_FALSE(WriteFileAtomically(target, "new"));
    chmod(dir.path().c_str(), 0700);
  }
  EXPECT_EQ(ReadFile(target), "old");
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"state.json"});

  // A directory at the target cannot be replaced by a file.
  ASSERT_EQ(mkdir(dir.file("taken").c_str(), 0700), 0);
  EXPECT_FALSE(WriteFileAtomically(dir.file("taken"), "x"));
  EXPECT_FALSE(WriteFileAtomically(dir.file("no-such-dir/state.json"), "x"));
  EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"state.json", "taken"}));
}

}  // namespace
}  // namespace korvel::platform
