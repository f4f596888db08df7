// The instance's writer on a full file system and on a read-only one: the write fails,
// the file that was there stays whole, the instance keeps the state it was given, and
// nothing is left behind.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
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
    if (::mount("tmpfs", directory_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0755") ==
        0) {
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
  for (auto& entry : std::filesystem::directory_iterator(directory))
    names.insert(entry.path().filename().string());
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

// Without a tmpfs (not root), the failing write itself is covered by the safe-file tests.
TEST_F(WriterFaults, AFullDiskOrAReadOnlyDirectoryKeepsTheOldFileAndTheInstanceState) {
  if (!disk_.mounted()) GTEST_SKIP() << "no private tmpfs: " << disk_.error();
  const struct {
    const char* name;
    std::function<bool()> fail, recover;
  } faults[] = {
      {"full", [&] { return Fill(files_.file("filler")); },
       [&] { return std::filesystem::remove(files_.file("filler")); }},
      {"read-only", [&] { return disk_.setReadOnly(true); },
       [&] { return disk_.setReadOnly(false); }},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.name);
    OpenInstance inst;
    const std::string path = link::ConnectionFilePath(inst.uid());
    WriteFile(path, R"({"articulationNames":["Legato"],"articulationNotes":[24]})");
    setName(inst, "Horns");
    connect(inst);
    const std::string before = ReadFile(path);
    ASSERT_EQ(json::parse(before)["trackName"], "Horns");
    ASSERT_TRUE(fault.fail());
    const std::set<std::string> names = Names(files_.path());

    setName(inst, "Trumpets in B\xE2\x99\xAD");
    EXPECT_EQ(ReadFile(path), before) << "the old file is whole";
    EXPECT_EQ(inst.trackName(), "Trumpets in B\xE2\x99\xAD")
        << "the instance keeps what it was given";
    EXPECT_EQ(KR_Load(inst->isConnected), 1);
    EXPECT_EQ(Names(files_.path()), names) << "no temporary file is left behind";
    // The reader still works, and adopts what the file says.
    KR_ReadConnectionFile(inst.get());
    EXPECT_EQ(inst.trackName(), "Horns");

    // Room again: the next write goes through, with the companion's keys kept.
    ASSERT_TRUE(fault.recover());
    setName(inst, "Trumpets");
    const json after = json::parse(ReadFile(path));
    EXPECT_EQ(after["trackName"], "Trumpets");
    EXPECT_EQ(after["articulationNotes"], json({24}));
    std::filesystem::remove(path);
  }
}

}  // namespace
}  // namespace korvel::test::faults
