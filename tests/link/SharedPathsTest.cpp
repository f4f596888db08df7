// The link's files live at fixed paths in /tmp, shared with the companion application.
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "component/KorvelInstance.h"
#include "link/SharedPaths.h"
#include "tests/support/TestSupport.h"

namespace korvel::test {
namespace {

TEST(SharedPaths, TheInstanceWritesAndReadsItsFileAtTheFixedPathInTmp) {
  EXPECT_EQ(link::ActiveUIDFilePath(), kActiveUIDPath);
  EXPECT_EQ(link::ActiveTrackFilePath(), kActiveTrackPath);
  // A UID that no instance draws in practice; the file is removed again.
  const uint32_t uid = 0xC0DE0000u | (static_cast<uint32_t>(getpid()) & 0xFFFF);
  const std::string path = ConnectionFilePath(uid);
  EXPECT_EQ(link::ConnectionFilePath(uid), path);
  std::filesystem::remove(path);
  auto inst = std::make_unique<KorvelInstance>();
  KR_Store(inst->uniqueID, uid);
  KR_SetTrackName(inst.get(), "Real", 4);

  KR_WriteConnectionFile(inst.get());
  EXPECT_EQ(nlohmann::json::parse(ReadFile(path), nullptr, false)["uid"], uid);
  WriteFile(path, R"({"status":"connected","trackName":"Companion"})");
  KR_ReadConnectionFile(inst.get());
  EXPECT_TRUE(KR_Load(inst->isConnected));
  char name[kKorvelTrackNameSize];
  KR_CopyTrackName(inst.get(), name);
  EXPECT_STREQ(name, "Companion");
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace korvel::test
