// korvel-host --editor: the GTK window on a private Xvfb display, photographed through
// the server's own framebuffer file, and the clear refusal without a display.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "tests/host/HostProcess.h"
#include "tests/support/TestSupport.h"

extern char** environ;

namespace korvel::host::test {
namespace {

using korvel::test::ReadFile;
using korvel::test::TempDir;
using korvel::test::WaitUntil;

const Rgb kBackground = FromFractions(0.11, 0.11, 0.13);
const Rgb kHeaderBand = FromFractions(0.09, 0.09, 0.11);
const Rgb kDotNotConnected = FromFractions(1.0, 0.3, 0.3);
const Rgb kDotOtherTrack = FromFractions(1.0, 0.6, 0.0);
constexpr const char* kXvfb = "/usr/bin/Xvfb";

// Xvfb on a display number it picks itself (-displayfd), keeping its screen in an XWD
// file (-fbdir) that can be read at any moment: a screenshot of the root window without
// any X client. Stopped by PID.
class VirtualDisplay {
 public:
  explicit VirtualDisplay(const TempDir& dir) : dir_(dir) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    std::string fd = std::to_string(fds[1]);
    std::vector<std::string> args = {kXvfb, "-displayfd", fd, "-nolisten", "tcp", "-screen", "0",
                                     "640x560x24", "-fbdir", dir.path()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, 2, dir.file("xvfb.err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&pid_, kXvfb, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    // The number arrives once the server accepts connections.
    std::string number;
    WaitUntil([&] {
      pollfd p{fds[0], POLLIN, 0};
      char c;
      while (::poll(&p, 1, 0) > 0 && ::read(fds[0], &c, 1) == 1) {
        if (c == '\n') return true;
        number += c;
      }
      return false;
    });
    ::close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~VirtualDisplay() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status;
      ::waitpid(pid_, &status, 0);
    }
  }
  const std::string& display() const { return display_; }
  std::string framebuffer() const { return dir_.file("Xvfb_screen0"); }
  std::string errors() const { return ReadFile(dir_.file("xvfb.err")); }

 private:
  const TempDir& dir_;
  pid_t pid_ = -1;
  std::string display_;
};

// A screen in the XWD layout the server keeps: a big-endian header, a colour map, then
// the pixels in the server's byte order.
class Screenshot {
 public:
  explicit Screenshot(const std::string& path) : data_(ReadFile(path)) {
    if (data_.size() < 100) return;
    auto field = [&](int i) {
      const auto* b = reinterpret_cast<const uint8_t*>(data_.data()) + 4 * i;
      return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    };
    width_ = int(field(4));
    height_ = int(field(5));
    lsbFirst_ = field(7) == 0;
    bitsPerPixel_ = int(field(11));
    bytesPerLine_ = field(12);
    for (int i = 0; i < 3; ++i) masks_[i] = field(14 + i);
    offset_ = size_t(field(0)) + size_t(field(19)) * 12;
    if (bitsPerPixel_ != 32 || offset_ + size_t(bytesPerLine_) * height_ > data_.size()) width_ = 0;
  }
  bool ok() const { return width_ > 0; }
  int width() const { return width_; }
  int height() const { return height_; }
  Rgb at(int x, int y) const {
    const auto* b = reinterpret_cast<const uint8_t*>(data_.data()) + offset_ +
                    size_t(y) * bytesPerLine_ + size_t(x) * 4;
    uint32_t p = lsbFirst_ ? (uint32_t(b[3]) << 24 | uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0])
                           : (uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3]);
    int c[3];
    for (int i = 0; i < 3; ++i) c[i] = int((p & masks_[i]) >> __builtin_ctz(masks_[i]));
    return Rgb{c[0], c[1], c[2]};
  }
  // The first pixel, row by row, in the header band's colour: the view's top-left corner.
  std::optional<std::pair<int, int>> findHeaderBand() const {
    for (int y = 0; y < height_; ++y)
      for (int x = 0; x < width_; ++x)
        if (Near(at(x, y), kHeaderBand, 2)) return std::make_pair(x, y);
    return std::nullopt;
  }

 private:
  std::string data_;
  int width_ = 0, height_ = 0, bitsPerPixel_ = 0;
  bool lsbFirst_ = true;
  uint32_t bytesPerLine_ = 0;
  uint32_t masks_[3] = {0xFF0000, 0xFF00, 0xFF};
  size_t offset_ = 0;
};

TEST(EditorWindow, ShowsTheEditorInAGtkWindowOnAnXDisplay) {
  if (::access(kXvfb, X_OK) != 0) GTEST_SKIP() << "Xvfb is not installed (" << kXvfb << ")";
  TempDir screenDir, runDir;
  VirtualDisplay screen(screenDir);
  ASSERT_FALSE(screen.display().empty()) << screen.errors();
  const EnvironmentChanges env = {{"DISPLAY", screen.display()}, {"WAYLAND_DISPLAY", std::nullopt}};
  // A one-track project, so that the instance's UID (and its connection file) is known.
  const std::string project = runDir.file("one.plist");
  HostResult saved = RunHost({"snapshot", "--out", runDir.file("shots"), "--save", project,
                              "--bundle", KORVEL_TEST_BUNDLE});
  const std::string uid = TrackField(saved.out, 1, "uid");
  ASSERT_EQ(uid.size(), 8u) << saved.out << saved.err;
  struct RemoveOnExit {
    std::string path;
    ~RemoveOnExit() { std::remove(path.c_str()); }
  } connectionFile{"/tmp/korvel_connection_" + uid + ".json"};

  HostProcess host(runDir,
                   {"play", KORVEL_DEMO_MIDI, "--speed", "0", "--load", project, "--tracks", "1", "--editor",
                    "--editor-seconds", "120", "--bundle", KORVEL_TEST_BUNDLE},
                   env);
  ASSERT_TRUE(host.started());
  // Wait for the window's content: the header band with the red dot of an unlinked
  // instance 15 points right of and 16 below its corner.
  std::optional<std::pair<int, int>> corner;
  ASSERT_TRUE(WaitUntil([&] {
    Screenshot shot(screen.framebuffer());
    if (!shot.ok()) return false;
    corner = shot.findHeaderBand();
    return corner && corner->first + 340 < shot.width() && corner->second + 500 < shot.height() &&
           Near(shot.at(corner->first + 15, corner->second + 16), kDotNotConnected, 8);
  }, std::chrono::seconds(90))) << host.out() << "\n" << screen.errors();

  Screenshot shot(screen.framebuffer());
  const auto [x0, y0] = *corner;
  EXPECT_PRED3(Near, shot.at(x0 + 170, y0 + 3), kHeaderBand, 2);
  EXPECT_PRED3(Near, shot.at(x0 + 330, y0 + 28), kHeaderBand, 2);
  EXPECT_PRED3(Near, shot.at(x0 + 5, y0 + 100), kBackground, 2);
  // The window has the view's own size, 340 x 500: background up to its last pixel.
  EXPECT_PRED3(Near, shot.at(x0 + 339, y0 + 499), kBackground, 2);
  EXPECT_FALSE(Near(shot.at(x0 + 341, y0 + 499), kBackground, 2));
  EXPECT_FALSE(Near(shot.at(x0 + 339, y0 + 501), kBackground, 2));

  // The companion links the track while the window is open: the window's refresh timer
  // polls the file and the redraw shows the orange dot of a linked, inactive track.
  korvel::test::WriteFile(connectionFile.path, R"({"status":"connected","trackName":"Strings"})");
  EXPECT_TRUE(WaitUntil([&, x0 = x0, y0 = y0] {
    return Near(Screenshot(screen.framebuffer()).at(x0 + 15, y0 + 16), kDotOtherTrack, 8);
  })) << Describe(Screenshot(screen.framebuffer()).at(x0 + 15, y0 + 16));

  // Ctrl-C while the window is open: the play's report still comes out.
  ASSERT_EQ(::kill(host.pid(), SIGTERM), 0);
  auto ended = host.wait();
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->status, 130) << ended->err;
  EXPECT_NE(ended->out.find("interrupted\n"), std::string::npos) << ended->out;
  EXPECT_EQ(TrackField(ended->out, 1, "connected"), "yes") << ended->out;
  EXPECT_EQ(TrackField(ended->out, 1, "controllers"), "CC1 max 96, CC11 max 110") << ended->out;

  // --editor-seconds closes the windows by itself, and the session ends normally.
  TempDir secondRun;
  HostProcess timed(secondRun,
                    {"play", KORVEL_DEMO_MIDI, "--speed", "0", "--editor", "--editor-seconds",
                     "1", "--bundle", KORVEL_TEST_BUNDLE},
                    env);
  auto done = timed.wait(std::chrono::seconds(30));
  ASSERT_TRUE(done);
  EXPECT_EQ(done->status, 0) << done->err;
  EXPECT_EQ(TrackField(done->out, 2, "last velocity"), "80") << done->out;
}

TEST(EditorWindow, RefusesClearlyWithoutADisplay) {
  const EnvironmentChanges none = {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}};
  for (const char* command : {"play", "live"}) {
    std::vector<std::string> args = {command, "--editor", "--bundle", KORVEL_TEST_BUNDLE};
    if (std::string(command) == "play") args.insert(args.begin() + 1, KORVEL_DEMO_MIDI);
    HostResult r = RunHost(args, none);
    EXPECT_EQ(r.status, 1) << command << ": " << r.err;
    EXPECT_NE(r.err.find("--editor needs a display"), std::string::npos) << command << ": " << r.err;
    EXPECT_EQ(r.out, "") << command;
  }
  // A display that names no server.
  HostResult r = RunHost({"play", KORVEL_DEMO_MIDI, "--editor", "--bundle", KORVEL_TEST_BUNDLE},
                         {{"DISPLAY", ":65000"}, {"WAYLAND_DISPLAY", std::nullopt}});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("--editor cannot open the display (DISPLAY=:65000"), std::string::npos)
      << r.err;
}

}  // namespace
}  // namespace korvel::host::test
