// The instance's writer on a full file system and on a read-only one: the write fails,
// the file that was there stays whole, the instance keeps the state it was given, and
// nothing is left behind.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <csignal>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "link/SharedPaths.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/TestSupport.h"

namespace korvel::test::faults {
namespace {

using nlohmann::json;

// A 64 KiB tmpfs over a private directory; unmounted at the end.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const std::string& directory) : directory_(directory) {
    if (::mount("tmpfs", directory_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0755") == 0) {
      mounted_ = true;
    } else {
      error_ = std::strerror(errno);
    }
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(directory_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  bool setReadOnly(bool readOnly) {
    unsigned long flags = MS_REMOUNT | MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0);
    return ::mount("tmpfs", directory_.c_str(), "tmpfs", flags, "size=64k,mode=0755") == 0;
  }

 private:
  std::string directory_;
  bool mounted_ = false;
  std::string error_;
};

// Fills the file system with one file until a write fails with ENOSPC.
bool Fill(const std::string& path) {
  FILE* filler = std::fopen(path.c_str(), "wb");
  if (!filler) return false;
  std::setvbuf(filler, nullptr, _IONBF, 0);
  const std::string block(4096, 'x');
  while (std::fwrite(block.data(), 1, block.size(), filler) == block.size()) {
  }
  while (std::fputc('x', filler) != EOF) {
  }
  const bool full = errno == ENOSPC;
  std::fclose(filler);
  return full;
}

std::set<std::string> Names(const std::string& directory) {
  std::set<std::string> names;
  for (auto& entry : std::filesystem::directory_iterator(directory)) names.insert(entry.path().filename().string());
  return names;
}

class WriterFaults : public ::testing::Test {
 protected:
  WriterFaults() : disk_(files_.path()) { link::SetSharedFileDirectoryForTesting(files_.path()); }
  ~WriterFaults() override { link::SetSharedFileDirectoryForTesting(std::nullopt); }
  // The closed instance's timer, one-shot task and notification let go of the record
  // once the virtual clock moves on.
  void TearDown() override { clock_.advance(std::chrono::seconds(1)); }

  void setName(OpenInstance& inst, const std::string& name) {
    ASSERT_EQ(KR_SetProperty(inst.get(), kKorvelProperty_TrackName, 0, 0, name.data(),
                             static_cast<uint32_t>(name.size())),
              0);
  }
  void connect(OpenInstance& inst) {
    const uint32_t one = 1;
    ASSERT_EQ(KR_SetProperty(inst.get(), kKorvelProperty_Connected, 0, 0, &one, sizeof one), 0);
  }

  VirtualDispatchScope clock_;
  TempDir files_;
  SmallFileSystem disk_;
};

TEST_F(WriterFaults, AFullDiskKeepsTheOldFileAndTheInstanceState) {
  OpenInstance inst;
  const std::string path = link::ConnectionFilePath(inst.uid());
  const std::string companionKeys = R"({"articulationNames":["Legato"],"articulationNotes":[24]})";
  if (!disk_.mounted()) {
    // Without a tmpfs, a file-size limit below the document's size makes the same write
    // fail (EFBIG instead of ENOSPC) after the temporary file was created.
    std::signal(SIGXFSZ, SIG_IGN);
    WriteFile(path, companionKeys);
    setName(inst, "Horns");
    const std::string before = ReadFile(path);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0) << "tmpfs: " << disk_.error();
    setName(inst, "Trumpets in B\xE2\x99\xAD");
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(inst.trackName(), "Trumpets in B\xE2\x99\xAD");
    EXPECT_EQ(Names(files_.path()), std::set<std::string>{std::filesystem::path(path).filename().string()});
    return;
  }

  WriteFile(path, companionKeys);
  setName(inst, "Horns");
  connect(inst);
  const std::string before = ReadFile(path);
  ASSERT_EQ(json::parse(before)["trackName"], "Horns");
  ASSERT_TRUE(Fill(files_.file("filler")));

  setName(inst, "Trumpets in B\xE2\x99\xAD");
  const uint32_t zero = 0;
  EXPECT_EQ(KR_SetProperty(inst.get(), kKorvelProperty_Connected, 0, 0, &zero, sizeof zero), 0);
  EXPECT_EQ(ReadFile(path), before) << "the old file is whole";
  EXPECT_EQ(inst.trackName(), "Trumpets in B\xE2\x99\xAD") << "the instance keeps what it was given";
  EXPECT_EQ(KR_Load(inst->isConnected), 0);
  EXPECT_EQ(Names(files_.path()), (std::set<std::string>{"filler", std::filesystem::path(path).filename().string()}))
      << "no temporary file is left behind";

  // Room again: the next write goes through, with the companion's keys kept.
  std::filesystem::remove(files_.file("filler"));
  setName(inst, "Trumpets");
  json after = json::parse(ReadFile(path));
  EXPECT_EQ(after["trackName"], "Trumpets");
  EXPECT_EQ(after["status"], "disconnected");
  EXPECT_EQ(after["articulationNotes"], json({24}));
}

TEST_F(WriterFaults, AReadOnlyDirectoryKeepsTheOldFileAndTheInstanceState) {
  if (!disk_.mounted()) GTEST_SKIP() << "no tmpfs to remount read-only (" << disk_.error() << "); as root, permissions alone do not stop the writer";
  OpenInstance inst;
  const std::string path = link::ConnectionFilePath(inst.uid());
  setName(inst, "Horns");
  connect(inst);
  const std::string before = ReadFile(path);
  ASSERT_FALSE(before.empty());
  ASSERT_TRUE(disk_.setReadOnly(true));

  setName(inst, "Celli");
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_EQ(inst.trackName(), "Celli");
  EXPECT_EQ(KR_Load(inst->isConnected), 1);
  // The reader still works, and adopts what the file says.
  KR_ReadConnectionFile(inst.get());
  EXPECT_EQ(inst.trackName(), "Horns");
  EXPECT_EQ(KR_Load(inst->isConnected), 1);
  EXPECT_EQ(Names(files_.path()), std::set<std::string>{std::filesystem::path(path).filename().string()});

  ASSERT_TRUE(disk_.setReadOnly(false));
  setName(inst, "Celli");
  EXPECT_EQ(json::parse(ReadFile(path))["trackName"], "Celli");
}

}  // namespace
}  // namespace korvel::test::faults
