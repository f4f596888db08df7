// korvel-host snapshot: each track's editor rendered to PNG without a display, checked by
// pixel probes. The linked states are photographed by the end-to-end tests.
#include <gtest/gtest.h>

#include "tests/e2e/EditorPicture.h"
#include "tests/host/HostProcess.h"

namespace korvel::host::test {
namespace {

using namespace korvel::test;

// An unlinked editor as the PNG holds it: the red status dot, and the connect button.
// (Where everything else lands is the drawing tests' business.)
void ExpectUnlinkedEditor(const std::string& path) {
  const EditorPicture png(path);
  EXPECT_TRUE(ShowsConnectButton(png)) << path;
  EXPECT_PRED3(Near, png.at(15, 16), kDotNotConnected, 6)
      << path << " dot " << Describe(png.at(15, 16));
}

class EditorSnapshot : public ::testing::Test {
 protected:
  HostResult snapshot(const std::string& out, std::vector<std::string> more) {
    more.insert(more.begin(), {"snapshot", "--out", out, "--bundle", KORVEL_TEST_BUNDLE});
    HostResult r = RunHost(more);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return r;
  }
  TempDir dir_;
};

TEST_F(EditorSnapshot, UnlinkedTracksShowTheConnectPanelAtTheRequestedSize) {
  const std::string out = dir_.file("shots");  // made by the command
  HostResult r = snapshot(out, {KORVEL_DEMO_MIDI, "--width", "420", "--height", "610"});
  // The file was played before the pictures were taken.
  EXPECT_EQ(TrackField(r.out, 1, "controllers"), "CC1 max 64, CC11 max 100");
  for (int n : {1, 2}) {
    const std::string path = out + "/track-" + std::to_string(n) + ".png";
    EXPECT_NE(r.out.find("snapshot " + path + "\n"), std::string::npos) << r.out;
    EXPECT_TRUE(EditorPicture(path).width() == 420 && EditorPicture(path).height() == 610) << path;
    ExpectUnlinkedEditor(path);
  }
  EXPECT_FALSE(EditorPicture(out + "/track-3.png").ok());

  // Without a file: one track, at the editor's own minimum size.
  r = snapshot(dir_.file("bare"), {});
  EXPECT_NE(r.out.find("on 1 track(s)"), std::string::npos) << r.out;
  const EditorPicture bare(dir_.file("bare/track-1.png"));
  EXPECT_TRUE(bare.width() == 340 && bare.height() == 500) << bare.width() << "x" << bare.height();
  ExpectUnlinkedEditor(dir_.file("bare/track-1.png"));
}

TEST_F(EditorSnapshot, FailsClearlyWhenTheDirectoryCannotBeMade) {
  korvel::test::WriteFile(dir_.file("plain"), "not a directory");
  HostResult r =
      RunHost({"snapshot", "--out", dir_.file("plain/x"), "--bundle", KORVEL_TEST_BUNDLE});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("cannot create " + dir_.file("plain/x")), std::string::npos) << r.err;
}

}  // namespace
}  // namespace korvel::host::test
