// The real tolvane program's one-shot commands. Its run mode against instances is
// exercised by the fault and end-to-end tests, which drive it together with the plug-in.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/TestSupport.h"

namespace korvel::test {
namespace {

// Of the files an earlier run left, the most recent connected writer of the track wins.
TEST(Tolvane, OneShotSelectFindsTheLinkInTheConnectionFiles) {
  TempDir home;
  // UIDs of this test run only, so that no real instance's file is touched.
  const uint32_t uid = 0x7D000000u | (static_cast<uint32_t>(getpid()) & 0xFFFFFF), older = uid ^ 1,
                 gone = uid ^ 2;
  SavedFile saved[] = {
      SavedFile(ConnectionFilePath(uid)),  SavedFile(ConnectionFilePath(older)),
      SavedFile(ConnectionFilePath(gone)), SavedFile(kActiveUIDPath),
      SavedFile(kActiveTrackPath),         SavedFile("/tmp/.notify/com.tolvane.trackChanged")};
  WriteFile(ConnectionFilePath(older),
            R"({"status":"connected","trackName":"French Horns","timestamp":4102444000.0})");
  WriteFile(ConnectionFilePath(uid),
            R"({"status":"connected","trackName":"French Horns","timestamp":4102444800.0})");
  WriteFile(ConnectionFilePath(gone),
            R"({"status":"disconnected","trackName":"French Horns","timestamp":4102449999})");
  ChildProcess tolvane(
      {TOLVANE_PATH, "--session", TOLVANE_EXAMPLE_SESSION, "select", "French Horns"},
      {{"HOME", home.path()}});
  EXPECT_EQ(tolvane.waitForExit(), 0);
  EXPECT_EQ(ReadFile(kActiveUIDPath), HexUID(uid));
  EXPECT_EQ(ReadFile(kActiveTrackPath), "French Horns");
  EXPECT_TRUE(std::filesystem::exists("/tmp/.notify/com.tolvane.trackChanged"))
      << "the change was posted";

  ChildProcess unknown({TOLVANE_PATH, "--session", TOLVANE_EXAMPLE_SESSION, "select", "Tuba"},
                       {{"HOME", home.path()}});
  EXPECT_EQ(unknown.waitForExit(), 1);
}

}  // namespace
}  // namespace korvel::test
