// korvel-host --editor: the GTK window on a private Xvfb display, photographed through
// the server's own framebuffer file, and the clear refusal without a display. The LV2
// editor the same way inside a real LV2 host, jalv.gtk3.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <regex>
#include <vector>

#include "platform/MIDIPacketList.h"
#include "platform/MIDIServices.h"
#include "tests/host/HostProcess.h"
#include "tests/support/Rgb.h"

namespace korvel::host::test {
namespace {

using namespace korvel::test;

constexpr const char* kXvfb = "/usr/bin/Xvfb";
constexpr const char* kJalvGtk = "/usr/bin/jalv.gtk3";
constexpr const char* kXdotool = "/usr/bin/xdotool";
constexpr const char* kXclip = "/usr/bin/xclip";

// Xvfb on a display number it picks itself (-displayfd), keeping its screen in an XWD
// file (-fbdir) that can be read at any moment: a screenshot without any X client.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    const int fd = ::open(dir_.file("display").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    server_.emplace(std::vector<std::string>{kXvfb, "-displayfd", std::to_string(fd), "-nolisten",
                                             "tcp", "-screen", "0", "640x560x24", "-fbdir",
                                             dir_.path()});
    ::close(fd);
    // The number arrives once the server accepts connections.
    WaitUntil([&] { return ReadFile(dir_.file("display")).find('\n') != std::string::npos; });
    const std::string number = ReadFile(dir_.file("display"));
    if (!number.empty()) display_ = ":" + number.substr(0, number.find('\n'));
  }
  const std::string& display() const { return display_; }
  std::string framebuffer() const { return dir_.file("Xvfb_screen0"); }
  std::string errors() const { return server_->errors(); }

 private:
  TempDir dir_;
  std::optional<ChildProcess> server_;
  std::string display_;
};

// The XWD file: a big-endian header, a colour map, then 32-bit pixels (depth 24) in the
// server's byte order.
class Screenshot {
 public:
  explicit Screenshot(const std::string& path) : data_(ReadFile(path)) {
    if (data_.size() < 100) return;
    width_ = int(field(4));
    height_ = int(field(5));
    lsbFirst_ = field(7) == 0;
    stride_ = field(12);
    offset_ = field(0) + size_t(field(19)) * 12;
    if (field(11) != 32 || offset_ + size_t(stride_) * height_ > data_.size()) width_ = 0;
  }
  bool ok() const { return width_ > 0; }
  Rgb at(int x, int y) const {
    const auto* p = byte(offset_ + size_t(y) * stride_ + size_t(x) * 4);
    return lsbFirst_ ? Rgb{p[2], p[1], p[0]} : Rgb{p[1], p[2], p[3]};
  }
  // The first pixel of `colour`, row by row from `top`; for the header band, the view's
  // top-left corner.
  std::optional<std::pair<int, int>> findColour(Rgb colour, int top) const {
    for (int y = std::max(top, 0); y < height_; ++y)
      for (int x = 0; x < width_; ++x)
        if (Near(at(x, y), colour, 2)) return std::make_pair(x, y);
    return std::nullopt;
  }
  int width_ = 0, height_ = 0;

 private:
  const uint8_t* byte(size_t at) const {
    return reinterpret_cast<const uint8_t*>(data_.data()) + at;
  }
  uint32_t field(int i) const {
    const uint8_t* b = byte(4 * size_t(i));
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
  }
  std::string data_;
  bool lsbFirst_ = true;
  uint32_t stride_ = 0;
  size_t offset_ = 0;
};

TEST(EditorWindow, ShowsTheEditorInAGtkWindowOnAnXDisplay) {
  if (::access(kXvfb, X_OK) != 0) GTEST_SKIP() << "Xvfb is not installed (" << kXvfb << ")";
  VirtualDisplay screen;
  ASSERT_FALSE(screen.display().empty()) << screen.errors();
  // Xvfb has no GPU: GTK draws with cairo, and Mesa's software GL, which leaves memory
  // behind when GTK unloads it at exit, stays out of the host.
  const EnvironmentChanges env = {{"DISPLAY", screen.display()},
                                  {"WAYLAND_DISPLAY", std::nullopt},
                                  {"GDK_DEBUG", "gl-disable"}};
  // A one-track project, so that the instance's UID (and its connection file) is known.
  TempDir runDir;
  const std::string project = runDir.file("one.plist");
  HostResult saved = RunHost({"snapshot", "--out", runDir.file("shots"), "--save", project,
                              "--bundle", KORVEL_TEST_BUNDLE});
  const std::string uid = TrackField(saved.out, 1, "uid");
  ASSERT_EQ(uid.size(), 8u) << saved.out << saved.err;
  const korvel::test::SavedFile link("/tmp/korvel_connection_" + uid + ".json");
  // The companion's MIDI destination on a private JACK server, keeping what arrives.
  korvel::test::PrivateJackServer jack;
  ASSERT_TRUE(jack.running());
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> received;
  MIDIClientRef client = 0;
  MIDIEndpointRef companion = 0;
  MIDIClientCreateWithBlock("EditorWindowCompanion", &client, [](const MIDINotification*) {});
  MIDIDestinationCreateWithBlock(
      client, "Companion In", &companion, [&](const MIDIPacketList* list) {
        std::lock_guard lock(mutex);
        const MIDIPacket* p = list->packet;
        for (uint32_t i = 0; i < list->numPackets; ++i, p = MIDIPacketNext(p))
          received.emplace_back(p->data, p->data + p->length);
      });
  MIDIObjectSetIntegerProperty(companion, kMIDIPropertyUniqueID, 1414941771);  // 'TVLK'

  ChildProcess host(
      HostArgv({"play", KORVEL_DEMO_MIDI, "--speed", "0", "--load", project, "--tracks", "1",
                "--editor", "--editor-seconds", "120", "--bundle", KORVEL_TEST_BUNDLE}),
      env);
  ASSERT_TRUE(host.started());
  // Wait for the window's content: the header band with the red dot of an unlinked
  // instance 15 points right of and 16 below its corner.
  std::optional<std::pair<int, int>> corner;
  ASSERT_TRUE(WaitUntil(
      [&] {
        Screenshot shot(screen.framebuffer());
        corner = shot.ok() ? shot.findColour(kHeaderBand, 0) : std::nullopt;
        // The whole window painted: the red dot at the top and the background at the far corner.
        return corner && corner->first + 340 < shot.width_ && corner->second + 500 < shot.height_ &&
               Near(shot.at(corner->first + 15, corner->second + 16), kDotNotConnected, 8) &&
               Near(shot.at(corner->first + 339, corner->second + 499), kBackground, 2);
      },
      std::chrono::seconds(90)))
      << host.transcript() << "\n"
      << screen.errors();

  const Screenshot shot(screen.framebuffer());
  const auto [x0, y0] = *corner;
  EXPECT_PRED3(Near, shot.at(x0 + 170, y0 + 3), kHeaderBand, 2);
  EXPECT_PRED3(Near, shot.at(x0 + 330, y0 + 28), kHeaderBand, 2);
  EXPECT_PRED3(Near, shot.at(x0 + 5, y0 + 100), kBackground, 2);
  // The window has the view's own size, 340 x 500: background up to its last pixel.
  EXPECT_PRED3(Near, shot.at(x0 + 339, y0 + 499), kBackground, 2);
  EXPECT_FALSE(Near(shot.at(x0 + 341, y0 + 499), kBackground, 2));
  EXPECT_FALSE(Near(shot.at(x0 + 339, y0 + 501), kBackground, 2));

  // Primary clicks reach the view: the ID at the header's right end goes to the
  // clipboard, and Connect sends the connect request to the companion.
  auto run = [&](const std::string& command) {
    return std::system(("DISPLAY=" + screen.display() + " " + command).c_str());
  };
  ASSERT_EQ(run("xdotool mousemove " + std::to_string(x0 + 335) + " " + std::to_string(y0 + 10) +
                " click 1"),
            0);
  const std::string clipboard = runDir.file("clipboard");
  EXPECT_TRUE(WaitUntil([&] {
    return run("xclip -o -selection clipboard > " + clipboard + " 2>/dev/null") == 0 &&
           ReadFile(clipboard).rfind(uid + " v", 0) == 0;
  })) << ReadFile(clipboard);
  const uint32_t id = uint32_t(std::stoul(uid, nullptr, 16));
  const std::vector<uint8_t> connect = {0xF0,
                                        0x7D,
                                        uint8_t(id >> 28),
                                        uint8_t(id >> 21 & 0x7F),
                                        uint8_t(id >> 14 & 0x7F),
                                        uint8_t(id >> 7 & 0x7F),
                                        uint8_t(id & 0x7F),
                                        0x01,
                                        0xF7};
  ASSERT_EQ(run("xdotool mousemove " + std::to_string(x0 + 170) + " " + std::to_string(y0 + 330) +
                " click 1"),
            0);
  EXPECT_TRUE(WaitUntil([&] {
    std::lock_guard lock(mutex);
    return std::find(received.begin(), received.end(), connect) != received.end();
  })) << host.transcript();

  // The companion links the track while the window is open: the window's refresh timer
  // polls the file and the redraw shows the orange dot of a linked, inactive track.
  link.set(R"({"status":"connected","trackName":"Strings"})");
  auto dot = [&, x0 = x0, y0 = y0] {
    return Screenshot(screen.framebuffer()).at(x0 + 15, y0 + 16);
  };
  EXPECT_TRUE(WaitUntil([&] { return Near(dot(), kDotOtherTrack, 8); })) << Describe(dot());

  // Ctrl-C while the window is open: the play's report still comes out.
  ASSERT_EQ(::kill(host.pid(), SIGTERM), 0);
  auto ended = Finish(host);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->status, 130) << ended->err;
  EXPECT_NE(ended->out.find("interrupted\n"), std::string::npos) << ended->out;
  EXPECT_EQ(TrackField(ended->out, 1, "connected"), "yes") << ended->out;
  EXPECT_EQ(TrackField(ended->out, 1, "controllers"), "CC1 max 96, CC11 max 110") << ended->out;

  // --editor-seconds closes the windows by itself, and the session ends normally.
  HostResult timed = RunHost({"play", KORVEL_DEMO_MIDI, "--speed", "0", "--editor",
                              "--editor-seconds", "1", "--bundle", KORVEL_TEST_BUNDLE},
                             env);
  EXPECT_EQ(timed.status, 0) << timed.err;
  EXPECT_EQ(TrackField(timed.out, 2, "last velocity"), "80") << timed.out;
  MIDIEndpointDispose(companion);
  MIDIClientDispose(client);
}

// The LV2 UI inside jalv.gtk3 (GTK 3 embedding the X11 UI through suil), with the
// plug-in on a private jackd and tolvane on the same server: the unlinked editor on
// screen, following the window when it grows; a click on Connect reaches the companion
// and the link shows from the idle-driven refresh; a click on the ID puts the ID text on
// the CLIPBOARD; jalv ends cleanly.
TEST(EditorWindow, LV2EditorInJalvConnectsAndCopiesTheID) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "an uninstrumented host cannot load modules built for ThreadSanitizer";
#endif
  for (const char* tool : {kXvfb, kJalvGtk, kXdotool, kXclip})
    if (::access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is not installed";
  korvel::test::PrivateJackServer jack;
  ASSERT_TRUE(jack.running());
  VirtualDisplay screen;
  ASSERT_FALSE(screen.display().empty()) << screen.errors();
  TempDir runDir;  // LV2_PATH: a folder holding nothing but the bundle
  std::filesystem::create_directory(runDir.file("lv2"));
  std::filesystem::create_directory_symlink(KORVEL_LV2_BUNDLE, runDir.file("lv2/Korvel.lv2"));
  const EnvironmentChanges env = {{"DISPLAY", screen.display()},
                                  {"WAYLAND_DISPLAY", std::nullopt},
                                  {"LV2_PATH", runDir.file("lv2")},
                                  {"NO_AT_BRIDGE", "1"}};
  ChildProcess tolvane({TOLVANE_BINARY, "-s", TOLVANE_EXAMPLE_SESSION, "run", "--keep-running"},
                       env);
  ASSERT_TRUE(tolvane.waitForLine([](const std::string& line) { return line == "ready"; }))
      << tolvane.transcript();
  EnvironmentChanges jalvEnv = env;
#ifdef __SANITIZE_ADDRESS__
  // The uninstrumented host gets the runtime with the plug-in's modules: their stack,
  // global and undefined-behaviour checks run, heap checks do not (preloading the runtime
  // deadlocks GTK 3's gettext set-up). The toolkit's leaks at exit are not ours.
  jalvEnv["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0";
#endif
  ChildProcess jalv({kJalvGtk, "urn:korvel:lv2"}, jalvEnv);
  auto run = [&](const std::vector<std::string>& argv) {
    ChildProcess child(argv, env);
    return Finish(child, std::chrono::seconds(10)).value_or(HostResult{});
  };

  // The unlinked editor: red dot in the header band, which spans the view's width, and
  // the blue connect button, 220 wide, centred below.
  struct Seen {
    int x0 = 0, y0 = 0, width = 0, buttonY = 0, buttonLeft = 0, buttonRight = 0;
  } seen;
  auto look = [&](int minimumWidth) {
    Screenshot shot(screen.framebuffer());
    auto corner = shot.ok() ? shot.findColour(kHeaderBand, 0) : std::nullopt;
    if (!corner || !Near(shot.at(corner->first + 15, corner->second + 16), kDotNotConnected, 8))
      return false;
    Seen s{corner->first, corner->second};
    while (s.x0 + s.width < shot.width_ && Near(shot.at(s.x0 + s.width, s.y0 + 3), kHeaderBand, 2))
      ++s.width;
    auto blue = shot.findColour(kConnectBlue, s.y0 + 33);
    if (!blue || s.width < minimumWidth) return false;
    s.buttonY = blue->second + 17;
    s.buttonLeft = s.buttonRight = s.x0 + s.width / 2;
    while (Near(shot.at(s.buttonLeft - 1, blue->second + 3), kConnectBlue, 2)) --s.buttonLeft;
    while (Near(shot.at(s.buttonRight, blue->second + 3), kConnectBlue, 2)) ++s.buttonRight;
    seen = s;
    return true;
  };
  auto centred = [&] {
    EXPECT_NEAR(seen.buttonLeft, seen.x0 + seen.width / 2 - 110, 2);
    EXPECT_NEAR(seen.buttonRight, seen.x0 + seen.width / 2 + 110, 2);
  };
  ASSERT_TRUE(WaitUntil([&] { return look(340); }, std::chrono::seconds(60))) << jalv.transcript();
  EXPECT_EQ(seen.width, 340);
  centred();
  ASSERT_EQ(
      run({kXdotool, "search", "--sync", "--name", "^Korvel$", "windowsize", "480", "540"}).status,
      0);
  ASSERT_TRUE(WaitUntil([&] { return look(480); })) << "the view did not follow its window";
  centred();

  // Connect: the instance sends the request, the companion answers through the files, and
  // the editor's refresh shows the link (green: the companion links its selected track,
  // which is its active one).
  auto click = [&](int x, int y) {
    return run({kXdotool, "mousemove", std::to_string(x), std::to_string(y), "click", "1"}).status;
  };
  ASSERT_EQ(click(seen.x0 + seen.width / 2, seen.buttonY), 0);
  std::string uid;
  ASSERT_TRUE(tolvane.waitForLine([&](const std::string& line) {
    std::smatch connect;
    if (!std::regex_search(line, connect, std::regex("connect UID ([0-9A-F]{8})"))) return false;
    uid = connect[1].str();
    return true;
  })) << tolvane.transcript();
  auto dot = [&] { return Screenshot(screen.framebuffer()).at(seen.x0 + 15, seen.y0 + 16); };
  EXPECT_TRUE(WaitUntil([&] { return Near(dot(), kDotActiveTrack, 8); })) << Describe(dot());

  // The ID copy: the header's right end, then a paste from another client.
  ASSERT_EQ(click(seen.x0 + seen.width - 60, seen.y0 + 16), 0);
  const HostResult paste = run({kXclip, "-o", "-selection", "clipboard"});
  EXPECT_EQ(paste.status, 0) << paste.err;
  // The version comes from the LV2 bundle's Info.plist, as in Korvel.component ("v?" without).
  EXPECT_TRUE(std::regex_match(paste.out, std::regex(uid + " v[0-9]+\n?"))) << paste.out;

  ASSERT_EQ(::kill(jalv.pid(), SIGTERM), 0);
  auto ended = Finish(jalv);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->status, 0) << ended->err;
  std::remove(("/tmp/korvel_connection_" + uid + ".json").c_str());
}

TEST(EditorWindow, RefusesClearlyWithoutADisplay) {
  const struct {
    std::vector<std::string> args;
    std::optional<std::string> display;
    std::string message;
  } cases[] = {
      {{"play", KORVEL_DEMO_MIDI}, std::nullopt, "--editor needs a display"},
      {{"live"}, std::nullopt, "--editor needs a display"},
      {{"play", KORVEL_DEMO_MIDI},
       ":65000",
       "--editor cannot open the display (DISPLAY=:65000"},  // no server
  };
  for (auto c : cases) {
    c.args.insert(c.args.end(), {"--editor", "--bundle", KORVEL_TEST_BUNDLE});
    HostResult r = RunHost(c.args, {{"DISPLAY", c.display}, {"WAYLAND_DISPLAY", std::nullopt}});
    EXPECT_EQ(r.status, 1) << c.args[0] << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args[0] << ": " << r.err;
    EXPECT_EQ(r.out, "") << c.args[0];
  }
}

}  // namespace
}  // namespace korvel::host::test
