// Whether the instance is on the companion's active track.
#include "tests/link/LinkFileFixture.h"

namespace korvel::test {
namespace {

using ActiveTrack = LinkFileTest;

bool CheckedActive(KorvelInstance* inst) {
  KR_Store(inst->isActiveTrack, 1);  // every check must decide afresh
  KR_CheckActiveTrack(inst);
  return KR_Load(inst->isActiveTrack) != 0;
}

TEST_F(ActiveTrack, NoActiveInstanceInTheUIDFileWinsOverAMatchingName) {
  Link(0x1234ABCD, true, "Strings");
  WriteFile(ActiveTrackPath(), "Strings");
  for (const char* none : {"0", "", " \n\t\r\n", "\xE2\x80\x83" "0\xE2\x80\xA8"}) {
    WriteFile(ActiveUIDPath(), none);
    EXPECT_FALSE(CheckedActive(inst_.get())) << '"' << none << '"';
  }
  WriteFile(ActiveUIDPath(), "1234ABCE");
  EXPECT_FALSE(CheckedActive(inst_.get())) << "another instance is active";
}

TEST_F(ActiveTrack, ReadsTheUIDAsHexadecimal) {
  Link(0x1234ABCD, true, "Strings");
  for (const char* same : {"1234abcd", "0x1234ABCD", "0X1234abcd\n", " \t1234ABCDxyz",
                           "\xC2\xA0\xE3\x80\x80" "1234abcd\xC2\x85\xE2\x80\xA9",
                           "ffffffff1234abcd"}) {
    WriteFile(ActiveUIDPath(), same);
    EXPECT_TRUE(CheckedActive(inst_.get())) << '"' << same << '"';
  }
  KR_Store(inst_->isConnected, 0);
  WriteFile(ActiveUIDPath(), "1234ABCD");
  EXPECT_FALSE(CheckedActive(inst_.get())) << "not connected";

  // Digits are hexadecimal first: decimal 305419896 is not 0x12345678.
  Link(0x12345678, true, "Strings");
  WriteFile(ActiveUIDPath(), "305419896");
  EXPECT_FALSE(CheckedActive(inst_.get()));
}

TEST_F(ActiveTrack, FallsBackToDecimalForTextThatIsNotHexadecimal) {
  Link(0x12345678, true, "Strings");
  WriteFile(ActiveUIDPath(), "+305419896");
  EXPECT_TRUE(CheckedActive(inst_.get()));
  Link(0xFFFFFFFF, true, "Strings");
  WriteFile(ActiveUIDPath(), "-1");
  EXPECT_TRUE(CheckedActive(inst_.get())) << "a negative number wraps";
  WriteFile(ActiveTrackPath(), "Strings");
  WriteFile(ActiveUIDPath(), "none");
  EXPECT_FALSE(CheckedActive(inst_.get())) << "no digits reads as 0";
}

TEST_F(ActiveTrack, TheTrackNameFileDecidesWhenThereIsNoReadableUIDFile) {
  Link(0x42, true, "Strings");
  WriteFile(ActiveTrackPath(), "Strings\n");
  EXPECT_TRUE(CheckedActive(inst_.get()));
  WriteFile(ActiveTrackPath(), "strings");
  EXPECT_FALSE(CheckedActive(inst_.get())) << "no case folding";

  // A UID file that is not UTF-8 counts as missing.
  WriteFile(ActiveTrackPath(), "Strings");
  WriteFile(ActiveUIDPath(), "42\xFF");
  EXPECT_TRUE(CheckedActive(inst_.get()));

  KR_Store(inst_->isConnected, 0);
  EXPECT_FALSE(CheckedActive(inst_.get())) << "not connected";

  // The file is trimmed, the instance's name is not.
  Link(0x42, true, " Pad ");
  WriteFile(ActiveTrackPath(), " Pad ");
  EXPECT_FALSE(CheckedActive(inst_.get()));

  // An empty file matches an empty name.
  Link(0x42, true, "");
  WriteFile(ActiveTrackPath(), "\n");
  EXPECT_TRUE(CheckedActive(inst_.get()));
  WriteFile(ActiveTrackPath(), "\xC3");
  EXPECT_FALSE(CheckedActive(inst_.get())) << "a name file that is not UTF-8";
}

TEST_F(ActiveTrack, NeitherFileMeansNotActive) {
  Link(0x42, true, "Strings");
  EXPECT_FALSE(CheckedActive(inst_.get()));
  KR_CheckActiveTrack(nullptr);
}

}  // namespace
}  // namespace korvel::test
