// Whether the instance is on the companion's active track.
#include <filesystem>

#include "tests/link/LinkFileFixture.h"

namespace korvel::test {
namespace {

using ActiveTrack = LinkFileTest;

TEST_F(ActiveTrack, TheUIDFileDecidesAndTheTrackNameFileOnlyWhenThereIsNoReadableOne) {
  struct Row {
    uint32_t uid;
    bool connected;
    const char* name;
    const char* uidFile;    // nullptr: no file
    const char* trackFile;  // nullptr: no file
    bool active;
  };
  const Row rows[] = {
      // The UID is read as hexadecimal first, after trimming Unicode white space.
      {0x1234ABCD, true, "x", "1234abcd", nullptr, true},
      {0x1234ABCD, true, "x", "0X1234abcd\n", nullptr, true},
      {0x1234ABCD, true, "x", " \t1234ABCDxyz", nullptr, true},
      {0x1234ABCD, true, "x",
       "\xC2\xA0\xE3\x80\x80"
       "1234abcd\xC2\x85\xE2\x80\xA9",
       nullptr, true},
      {0x1234ABCD, true, "x", "ffffffff1234abcd", nullptr, true},
      {0x1234ABCD, false, "x", "1234ABCD", nullptr, false},  // not connected
      {0x12345678, true, "x", "305419896", nullptr, false},  // hexadecimal, not decimal
      // Then as decimal for text that is not hexadecimal.
      {0x12345678, true, "x", "+305419896", nullptr, true},
      {0xFFFFFFFF, true, "x", "-1", nullptr, true},
      // No active instance, or another one, wins over a matching name.
      {0x1234ABCD, true, "Strings", "0", "Strings", false},
      {0x1234ABCD, true, "Strings", " \n\t\r\n", "Strings", false},
      {0x1234ABCD, true, "Strings",
       "\xE2\x80\x83"
       "0\xE2\x80\xA8",
       "Strings", false},
      {0x1234ABCD, true, "Strings", "none", "Strings", false},
      {0x1234ABCD, true, "Strings", "1234ABCE", "Strings", false},
      // A UID file that is not UTF-8 counts as missing: the track-name file decides.
      {0x42, true, "Strings", "42\xFF", "Strings", true},
      {0x42, true, "Strings", nullptr, "Strings\n", true},
      {0x42, true, "Strings", nullptr, "strings", false},  // no case folding
      {0x42, false, "Strings", nullptr, "Strings", false},
      {0x42, true, " Pad ", nullptr, " Pad ", false},  // the file is trimmed, the name is not
      {0x42, true, "", nullptr, "\n", true},
      {0x42, true, "", nullptr, "\xC3", false},
      {0x42, true, "Strings", nullptr, nullptr, false},
  };
  for (const Row& row : rows) {
    Link(row.uid, row.connected, row.name);
    std::filesystem::remove(ActiveUIDPath());
    std::filesystem::remove(ActiveTrackPath());
    if (row.uidFile) WriteFile(ActiveUIDPath(), row.uidFile);
    if (row.trackFile) WriteFile(ActiveTrackPath(), row.trackFile);
    KR_Store(inst_->isActiveTrack, row.active ? 0 : 1);  // every check must decide afresh
    KR_CheckActiveTrack(inst_.get());
    EXPECT_EQ(Active(), row.active)
        << std::hex << row.uid << " uid file \"" << (row.uidFile ? row.uidFile : "-")
        << "\" track file \"" << (row.trackFile ? row.trackFile : "-") << '"';
  }
  KR_CheckActiveTrack(nullptr);
}

}  // namespace
}  // namespace korvel::test
