// korvel-host snapshot: each track's editor rendered to PNG without a display, checked by
// pixel probes in the three connection states.
#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "tests/host/HostProcess.h"
#include "tests/support/TestSupport.h"

namespace korvel::host::test {
namespace {

using korvel::test::ActiveTrackFilesGuard;
using korvel::test::TempDir;
using korvel::test::WriteFile;

const Rgb kBackground = FromFractions(0.11, 0.11, 0.13);
const Rgb kHeaderBand = FromFractions(0.09, 0.09, 0.11);
const Rgb kConnectBlue = FromFractions(0.2, 0.5, 1.0);
const Rgb kDotNotConnected = FromFractions(1.0, 0.3, 0.3);
const Rgb kDotOtherTrack = FromFractions(1.0, 0.6, 0.0);
const Rgb kDotActiveTrack = FromFractions(0.3, 0.8, 0.3);

class Png {
 public:
  explicit Png(const std::string& path)
      : surface_(cairo_image_surface_create_from_png(path.c_str()), &cairo_surface_destroy) {}
  bool ok() const { return cairo_surface_status(surface_.get()) == CAIRO_STATUS_SUCCESS; }
  int width() const { return cairo_image_surface_get_width(surface_.get()); }
  int height() const { return cairo_image_surface_get_height(surface_.get()); }
  Rgb at(double x, double y) const {
    const unsigned char* data = cairo_image_surface_get_data(surface_.get());
    const int stride = cairo_image_surface_get_stride(surface_.get());
    uint32_t p;
    std::memcpy(&p, data + int(y) * stride + int(x) * 4, 4);
    return Rgb{int((p >> 16) & 255), int((p >> 8) & 255), int(p & 255)};
  }

 private:
  std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface_;
};

// What every editor shows whatever its state, and the status dot.
void ExpectFrame(const Png& png, Rgb dot, const std::string& what) {
  const int W = png.width(), H = png.height();
  EXPECT_PRED3(Near, png.at(W / 2, 3), kHeaderBand, 3) << what << " header band";
  EXPECT_PRED3(Near, png.at(W - 4, 28), kHeaderBand, 3) << what << " header band, right end";
  EXPECT_PRED3(Near, png.at(2, H - 3), kBackground, 3) << what << " background";
  EXPECT_PRED3(Near, png.at(15, 16), dot, 6) << what << " status dot " << Describe(png.at(15, 16));
}

// The connect button's middle row, either side of its title.
bool ShowsConnectButton(const Png& png) {
  const double W = png.width(), H = png.height();
  const double y = (H - 33) / 2 + 78 + 17;
  return Near(png.at(W / 2 - 105, y), kConnectBlue, 3) &&
         Near(png.at(W / 2 + 105, y), kConnectBlue, 3) &&
         !Near(png.at(W / 2 - 115, y), kConnectBlue, 40);
}

std::string Args(const std::vector<std::string>& args) {
  std::string s;
  for (auto& a : args) s += a + " ";
  return s;
}

class EditorSnapshot : public ::testing::Test {
 protected:
  HostResult snapshot(const std::string& out, std::vector<std::string> more) {
    std::vector<std::string> args = {"snapshot", "--out", out, "--bundle", KORVEL_TEST_BUNDLE};
    args.insert(args.end(), more.begin(), more.end());
    HostResult r = RunHost(args);
    EXPECT_EQ(r.status, 0) << Args(args) << "\n" << r.out << r.err;
    return r;
  }
  TempDir dir_;
};

TEST_F(EditorSnapshot, UnlinkedTracksShowTheConnectPanelAtTheRequestedSize) {
  std::string out = dir_.file("shots");  // made by the command
  HostResult r = snapshot(out, {KORVEL_DEMO_MIDI, "--width", "420", "--height", "610"});
  EXPECT_NE(r.out.find("snapshot " + out + "/track-1.png\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("snapshot " + out + "/track-2.png\n"), std::string::npos) << r.out;
  // The file was played before the pictures were taken.
  EXPECT_EQ(TrackField(r.out, 1, "controllers"), "CC1 max 64, CC11 max 100");

  for (int n : {1, 2}) {
    Png png(out + "/track-" + std::to_string(n) + ".png");
    ASSERT_TRUE(png.ok()) << n;
    EXPECT_EQ(png.width(), 420);
    EXPECT_EQ(png.height(), 610);
    ExpectFrame(png, kDotNotConnected, "track " + std::to_string(n));
    EXPECT_TRUE(ShowsConnectButton(png)) << "track " << n;
  }
  EXPECT_FALSE(Png(out + "/track-3.png").ok());

  // Without a file: one track, at the editor's own minimum size.
  std::string bare = dir_.file("bare");
  r = snapshot(bare, {});
  EXPECT_NE(r.out.find("on 1 track(s)"), std::string::npos) << r.out;
  Png png(bare + "/track-1.png");
  ASSERT_TRUE(png.ok());
  EXPECT_EQ(png.width(), 340);
  EXPECT_EQ(png.height(), 500);
  EXPECT_TRUE(ShowsConnectButton(png));
}

TEST_F(EditorSnapshot, FailsClearlyWhenTheDirectoryCannotBeMade) {
  WriteFile(dir_.file("plain"), "not a directory");
  HostResult r = RunHost({"snapshot", "--out", dir_.file("plain") + "/x", "--bundle",
                          KORVEL_TEST_BUNDLE});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("cannot create " + dir_.file("plain") + "/x"), std::string::npos) << r.err;
}

// The companion links both tracks of a saved project (--wait-linked waits for every
// track); the snapshots show the grid with an orange dot, and a green one for the track
// that the companion names as its active one.
TEST_F(EditorSnapshot, LinkedTrackShowsTheGridAndItsActiveState) {
  ActiveTrackFilesGuard activeFiles;
  activeFiles.set(nullptr, nullptr);
  std::string project = dir_.file("project.plist");
  HostResult saved = snapshot(dir_.file("first"), {KORVEL_DEMO_MIDI, "--save", project});
  const std::string uid = TrackField(saved.out, 1, "uid");
  const std::string otherUID = TrackField(saved.out, 2, "uid");
  ASSERT_EQ(uid.size(), 8u) << saved.out;
  struct RemoveConnectionFiles {
    std::vector<std::string> paths;
    ~RemoveConnectionFiles() {
      for (auto& p : paths) std::remove(p.c_str());
    }
  } cleanup{{"/tmp/korvel_connection_" + uid + ".json",
             "/tmp/korvel_connection_" + otherUID + ".json"}};
  WriteFile(cleanup.paths[0],
            R"({"status":"connected","trackName":"Violins I","articulationNotes":[24,25,26],)"
            R"("articulationNames":["Legato","Staccato","Pizzicato"]})");
  WriteFile(cleanup.paths[1], R"({"status":"connected","trackName":"Horns"})");

  const std::vector<std::string> linkedRun = {KORVEL_DEMO_MIDI, "--load", project,
                                              "--wait-linked", "10"};
  std::string orange = dir_.file("orange");
  HostResult r = snapshot(orange, linkedRun);
  EXPECT_EQ(TrackField(r.out, 1, "uid"), uid);
  EXPECT_EQ(TrackField(r.out, 1, "articulation"), "25");
  {
    Png png(orange + "/track-1.png");
    ASSERT_TRUE(png.ok());
    ExpectFrame(png, kDotOtherTrack, "linked");
    EXPECT_FALSE(ShowsConnectButton(png));
    // Two controller rows (CC1 64, CC11 100) with bars, each starting at x 56 from y 59.
    for (double rowMiddle : {65.0, 81.0})
      EXPECT_GT(Distance(png.at(60, rowMiddle), kBackground), 20)
          << "bar at y " << rowMiddle << ": " << Describe(png.at(60, rowMiddle));
    EXPECT_PRED3(Near, png.at(60, 97), kBackground, 3) << "no third row";
    // Articulation cells from y 115, two to a row: Staccato (note 25) is the one played
    // last, so it alone is lit.
    const double cellW = (png.width() - 30) * 0.5;
    const Rgb legato = png.at(10 + cellW - 8, 127), staccato = png.at(20 + 2 * cellW - 8, 127),
              pizzicato = png.at(10 + cellW - 8, 154);
    EXPECT_PRED3(Near, legato, pizzicato, 2);
    EXPECT_GT(Distance(staccato, legato), 10) << Describe(staccato) << " vs " << Describe(legato);
  }
  ExpectFrame(Png(orange + "/track-2.png"), kDotOtherTrack, "second linked track");

  activeFiles.set(uid.c_str(), nullptr);
  std::string green = dir_.file("green");
  r = snapshot(green, linkedRun);
  Png png(green + "/track-1.png");
  ASSERT_TRUE(png.ok());
  ExpectFrame(png, kDotActiveTrack, "active");
  EXPECT_FALSE(ShowsConnectButton(png));
  // Only the track the companion names is active.
  ExpectFrame(Png(green + "/track-2.png"), kDotOtherTrack, "second linked track");
}

}  // namespace
}  // namespace korvel::host::test
