// The companion link across real processes: a private JACK server, the companion stand-in
// tolvane with the example session, and korvel-host playing the example MIDI file through
// the built bundle, both driven through their command lines. The editors are looked at
// through the host's snapshots. Both children get a home and XDG data directory of the
// test, so the user's language file and desktop entries are never touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/e2e/EditorPicture.h"
#include "tests/host/HostProcess.h"

namespace korvel::e2e {
namespace {

using namespace std::chrono_literals;
using namespace korvel::test;
using korvel::host::test::TrackField;
using Json = nlohmann::json;

constexpr const char* kNotificationPath = "/tmp/.notify/com.tolvane.trackChanged";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string ConnectionFile(const std::string& uidHex) {
  return "/tmp/korvel_connection_" + uidHex + ".json";
}

Json ReadConnectionFile(const std::string& uidHex) {
  return Json::parse(ReadFile(ConnectionFile(uidHex)), nullptr, false);
}

bool FileSays(const std::string& uidHex, const std::string& status) {
  const Json file = ReadConnectionFile(uidHex);
  return file.is_object() && file.value("status", Json()) == status;
}

// The arrival times of the lines of `lines` that start with `prefix`.
std::vector<Clock::time_point> ArrivalsOf(const std::vector<OutputLine>& lines,
                                          const std::string& prefix) {
  std::vector<Clock::time_point> times;
  for (const OutputLine& line : lines)
    if (line.text.rfind(prefix, 0) == 0) times.push_back(line.arrived);
  return times;
}

// The connection files of the UIDs a test's instances held: they outlive the host by
// design, so the test removes them itself.
struct ConnectionFilesOfTest {
  ~ConnectionFilesOfTest() {
    std::error_code ec;
    for (const std::string& uid : uids) std::filesystem::remove(ConnectionFile(uid), ec);
  }
  std::set<std::string> uids;
};

class CompanionLinkEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(jack_.running()) << "jackd did not start";
    for (const char* sub : {"home", "xdg", "xdg-system"})
      std::filesystem::create_directories(dir_.file(sub));
  }

  std::unique_ptr<ChildProcess> start(const std::string& program,
                                      const std::vector<std::string>& args,
                                      const std::string& name) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    const Environment isolated = {{"HOME", dir_.file("home")},
                                  {"XDG_DATA_HOME", dir_.file("xdg")},
                                  {"XDG_DATA_DIRS", dir_.file("xdg-system")}};
    auto child = std::make_unique<ChildProcess>(argv, isolated, dir_.file(name + ".err"));
    EXPECT_TRUE(child->started()) << program;
    return child;
  }

  void startTolvane() {
    tolvane_ =
        start(TOLVANE_BINARY, {"-s", TOLVANE_EXAMPLE_SESSION, "run", "--keep-running"}, "tolvane");
    ASSERT_TRUE(tolvane_->waitForLine([](const std::string& l) { return l == "ready"; }, 0, 10s))
        << tolvane_->transcript();
  }

  // Starts korvel-host playing the example file with commands on its standard input;
  // returns the UIDs its "ready" line names, in track order.
  std::vector<std::string> startHost(const std::vector<std::string>& more,
                                     const std::string& name) {
    std::vector<std::string> args = {"play",       KORVEL_DEMO_MIDI, "--bundle", KORVEL_TEST_BUNDLE,
                                     "--commands", "--repeat",       "4"};
    args.insert(args.end(), more.begin(), more.end());
    host_ = start(KORVEL_HOST_BINARY, args, name);
    auto ready =
        host_->waitForLine([](const std::string& l) { return l.rfind("ready: ", 0) == 0; }, 0, 20s);
    if (!ready) {
      ADD_FAILURE() << "korvel-host never got ready:\n" << host_->transcript();
      return {};
    }
    std::istringstream words(host_->line(*ready).text);
    std::string word;
    words >> word >> word >> word;  // "ready:", "N", "track(s)"
    std::vector<std::string> uids;
    while (words >> word) uids.push_back(*connectionFiles_.uids.insert(word).first);
    return uids;
  }

  // Runs one host command; the lines it printed before its "ok" line.
  std::string command(const std::string& line) {
    const std::string verb = line.substr(0, line.find(' '));
    const size_t from = host_->lineCount();
    host_->send(line);
    auto done = host_->waitForLine(
        [&](const std::string& l) {
          return l == "ok " + verb || l.rfind("error " + verb + ":", 0) == 0;
        },
        from, 10s);
    if (!done) {
      ADD_FAILURE() << "no answer to \"" << line << "\":\n" << host_->transcript();
      return "";
    }
    std::string printed;
    for (size_t i = from; i < *done; ++i) printed += host_->line(i).text + "\n";
    EXPECT_EQ(host_->line(*done).text, "ok " + verb) << line << "\n" << printed;
    return printed;
  }

  // The host's "connect N", the companion's answer in its log and the file, and the link
  // in the host's report.
  void connect(int n, const std::string& uid, const std::string& track) {
    const size_t from = tolvane_->lineCount();
    command("connect " + std::to_string(n));
    ASSERT_TRUE(tolvane_->waitForLine("connect UID " + uid, from, 10s)) << tolvane_->transcript();
    ASSERT_TRUE(WaitUntil([&] { return FileSays(uid, "connected"); }, 5s))
        << ReadFile(ConnectionFile(uid));
    EXPECT_EQ(ReadConnectionFile(uid).value("trackName", Json()), track);
    ASSERT_TRUE(WaitUntil([&] { return linkedTo(command("state"), n, track); }, 10s, 100ms))
        << command("state");
  }
  static bool linkedTo(const std::string& report, int n, const std::string& track) {
    return TrackField(report, n, "connected") == "yes" &&
           TrackField(report, n, "companion track") == track;
  }

  void tolvaneDoes(const std::string& line, const std::string& answer) {
    const size_t from = tolvane_->lineCount();
    tolvane_->send(line);
    ASSERT_TRUE(tolvane_->waitForLine(answer, from, 5s)) << tolvane_->transcript();
  }

  // Both tracks' editors as the host's snapshot command paints them.
  std::vector<EditorPicture> snapshot(const std::string& name) {
    command("snapshot " + dir_.file(name));
    std::vector<EditorPicture> pictures;
    for (const char* file : {"/track-1.png", "/track-2.png"})
      pictures.emplace_back(dir_.file(name) + file);
    EXPECT_TRUE(pictures[0].ok() && pictures[1].ok()) << name;
    return pictures;
  }

  // Declared in the order of setting up; the children go first, then the server, then
  // the files under /tmp are put back.
  ActiveTrackFilesGuard activeTrackFiles_;
  SavedFile notification_{kNotificationPath};
  ConnectionFilesOfTest connectionFiles_;
  PrivateJackServer jack_;
  TempDir dir_;
  std::unique_ptr<ChildProcess> tolvane_;
  std::unique_ptr<ChildProcess> host_;
};

// One session as a user lives it: both tracks linked from their editors to two of the
// companion's tracks; only the active track's MIDI forwarded; heartbeats; the host ended
// and started again on the saved project takes its UIDs and links back from the files the
// companion left (the keyswitch names live only there); the grid headers follow the
// companion's language; disconnect.
TEST_F(CompanionLinkEndToEnd, LinkForwardRestartFollowTheLanguageAndDisconnect) {
  {
    auto install = start(TOLVANE_BINARY,
                         {"install", "--applications", dir_.file("xdg/applications")}, "install");
    ASSERT_EQ(install->waitForExit(10s), 0) << install->transcript();
    ASSERT_TRUE(std::filesystem::exists(dir_.file("xdg/applications/com.tolvane.Tolvane.desktop")));
  }
  ASSERT_NO_FATAL_FAILURE(startTolvane());
  const std::string project = dir_.file("project.plist");
  const std::vector<std::string> uids = startHost({"--save", project}, "host-first");
  ASSERT_EQ(uids.size(), 2u);
  const std::string& uid = uids[0];
  const std::string& otherUID = uids[1];
  ASSERT_FALSE(std::filesystem::exists(ConnectionFile(uid))) << "a stale file for a fresh UID";

  ASSERT_NO_FATAL_FAILURE(connect(1, uid, "Violins I"));
  const Json file = ReadConnectionFile(uid);
  EXPECT_EQ(file.value("articulationNotes", Json()), Json({24, 25, 26, 27, 28})) << file.dump();
  EXPECT_EQ(file.value("articulationNames", Json()).size(), 5u) << file.dump();
  std::string report = command("state");
  EXPECT_EQ(TrackField(report, 1, "uid"), uid);
  EXPECT_EQ(TrackField(report, 2, "connected"), "no") << report;
  {
    const std::vector<EditorPicture> shots = snapshot("linked");
    EXPECT_FALSE(ShowsConnectBlue(shots[0])) << "track 1 is linked: no connect button";
    // Five keyswitches, of which at most one is lit: four cells' worth of unlit area.
    EXPECT_GT(UnlitArticulationCellPixels(shots[0]), 4 * 2500);
    EXPECT_EQ(FirstHeaderTextPixelsRightOfCC(shots[0]), 0)
        << "English: \"CC\" ends well left of x 30";
    EXPECT_TRUE(ShowsConnectButton(shots[1])) << "track 2 was never linked";
    EXPECT_LT(UnlitArticulationCellPixels(shots[1]), 200);
  }

  // Track 2 linked as well, to another of the companion's tracks: forwarding must follow
  // the companion's active track, not merely the link.
  ASSERT_NO_FATAL_FAILURE(tolvaneDoes("select Celli", "selected Celli"));
  ASSERT_NO_FATAL_FAILURE(connect(2, otherUID, "Celli"));
  ASSERT_NO_FATAL_FAILURE(tolvaneDoes("select Violins I", "selected Violins I"));
  EXPECT_EQ(ReadFile(korvel::test::kActiveUIDPath), uid);
  // The editors' status dots tell when both instances have taken the change in.
  int attempt = 0;
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::vector<EditorPicture> shots = snapshot("active-" + std::to_string(++attempt));
        return ShowsActiveTrackDot(shots[0]) && ShowsOtherTrackDot(shots[1]);
      },
      5s, 100ms))
      << "track 1 green, track 2 orange";
  // Whatever track 2 queued while Celli was active has left by its second heartbeat from
  // now: every link tick sends the queue before the heartbeat.
  int otherBeats = 0;
  auto quietFrom = tolvane_->waitForLine(
      [&](const std::string& line) {
        return line == "heartbeat UID " + otherUID && ++otherBeats == 2;
      },
      tolvane_->lineCount(), 5s);
  ASSERT_TRUE(quietFrom) << tolvane_->transcript();

  // The example file's controller ramps open every round (about 9 s apart).
  int events = 0;
  bool sawController = false;
  auto enoughEvents = [&](const std::string& line) {
    if (line.rfind("event UID " + uid + " ", 0) == 0) {
      ++events;
      sawController |= line.find(" cc ") != std::string::npos;
    }
    return events >= 5 && sawController;
  };
  EXPECT_TRUE(tolvane_->waitForLine(enoughEvents, *quietFrom, 20s))
      << events << " events of " << uid << "; the active-track file names \""
      << ReadFile(korvel::test::kActiveUIDPath) << "\"\n"
      << tolvane_->transcript();

  // Heartbeats: every instance, linked or not, once a second. Measured between arrivals
  // at this end of the pipe, so they include JACK's and the pipe's delays.
  int beats = 0;
  auto enoughBeats = [&](const std::string& line) {
    return line == "heartbeat UID " + uid && ++beats >= 5;
  };
  EXPECT_TRUE(tolvane_->waitForLine(enoughBeats, 0, 10s)) << tolvane_->transcript();
  const std::vector<OutputLine> lines = tolvane_->lines();
  for (const std::string& u : uids) {
    const std::vector<Clock::time_point> arrivals = ArrivalsOf(lines, "heartbeat UID " + u);
    EXPECT_GE(arrivals.size(), 4u) << u;
    double shortest = 1e9, longest = 0;
    for (size_t i = 1; i < arrivals.size(); ++i) {
      const double interval = Seconds(arrivals[i] - arrivals[i - 1]);
      EXPECT_GE(interval, 0.6) << "heartbeat " << i << " of " << u;
      EXPECT_LE(interval, 1.5) << "heartbeat " << i << " of " << u;
      shortest = std::min(shortest, interval);
      longest = std::max(longest, interval);
    }
    std::cout << "[ timing ] " << arrivals.size() << " heartbeats of " << u << ", intervals "
              << shortest << " to " << longest << " s\n";
  }
  const std::vector<OutputLine> sinceQuiet(lines.begin() + static_cast<long>(*quietFrom),
                                           lines.end());
  EXPECT_TRUE(ArrivalsOf(sinceQuiet, "event UID " + otherUID).empty())
      << "track 2 is linked but not on the companion's active track\n"
      << tolvane_->transcript();
  EXPECT_TRUE(ArrivalsOf(lines, "untagged").empty());

  // The host ended with the project saved, and started again on it.
  const size_t fromQuit = host_->lineCount();
  host_->send("quit");
  ASSERT_EQ(host_->waitForExit(15s), 0) << host_->transcript();
  EXPECT_TRUE(host_->waitForLine("saved " + project, fromQuit, 1s)) << host_->transcript();
  const Clock::time_point restart = Clock::now();
  EXPECT_EQ(startHost({"--load", project, "--wait-linked", "10"}, "host-second"), uids);
  // --wait-linked ends as soon as every track is linked: well before its 10 s.
  const double readyAfter = Seconds(Clock::now() - restart);
  EXPECT_LT(readyAfter, 8.0);
  std::cout << "[ timing ] restarted host ready with both links after " << readyAfter << " s\n";
  report = command("state");
  EXPECT_TRUE(linkedTo(report, 1, "Violins I") && linkedTo(report, 2, "Celli")) << report;
  {
    const std::vector<EditorPicture> shots = snapshot("restored");
    EXPECT_FALSE(ShowsConnectBlue(shots[0]) || ShowsConnectBlue(shots[1]));
    EXPECT_GT(UnlitArticulationCellPixels(shots[0]), 4 * 2500) << "five keyswitch cells";
    EXPECT_GT(UnlitArticulationCellPixels(shots[1]), 2 * 2500) << "three keyswitch cells";
    EXPECT_LT(UnlitArticulationCellPixels(shots[1]), 3 * 4000) << "not five";
  }

  // The table looks at the language file at most every 5 s, so the switch shows within
  // that (plus the time between two snapshots).
  const size_t fromLanguage = tolvane_->lineCount();
  tolvane_->send("language de");
  auto switched = tolvane_->waitForLine("language de", fromLanguage, 5s);
  ASSERT_TRUE(switched) << tolvane_->transcript();
  EXPECT_EQ(ReadFile(dir_.file("home/Library/Application Support/Tolvane/current_language.txt")),
            "de\n");
  const Clock::time_point written = tolvane_->line(*switched).arrived;
  int textPixels = 0;
  std::optional<double> germanAfter;
  attempt = 0;
  WaitUntil(
      [&] {
        const size_t from = host_->lineCount();
        textPixels =
            FirstHeaderTextPixelsRightOfCC(snapshot("german-" + std::to_string(++attempt))[0]);
        if (textPixels < 20) return false;
        auto answered = host_->waitForLine("ok snapshot", from, 1s);
        germanAfter = Seconds((answered ? host_->line(*answered).arrived : Clock::now()) - written);
        return true;
      },
      15s, 200ms);
  ASSERT_TRUE(germanAfter) << "still English after 15 s (" << textPixels << " header pixels, "
                           << attempt << " snapshots)";
  std::cout << "[ timing ] grid header German " << *germanAfter
            << " s after the language file was written (" << attempt << " snapshots; " << textPixels
            << " header pixels right of \"CC\")\n";
  EXPECT_LE(*germanAfter, 6.0) << "one check of the language file every 5 s, snapshots every 0.2 s";

  const size_t fromDisconnect = tolvane_->lineCount();
  command("disconnect 1");
  EXPECT_TRUE(tolvane_->waitForLine("disconnect UID " + uid, fromDisconnect, 10s))
      << tolvane_->transcript();
  EXPECT_TRUE(WaitUntil([&] { return FileSays(uid, "disconnected"); }, 5s))
      << ReadFile(ConnectionFile(uid));
  EXPECT_TRUE(
      WaitUntil([&] { return TrackField(command("state"), 1, "connected") == "no"; }, 5s, 100ms));
  {
    const std::vector<EditorPicture> shots = snapshot("disconnected");
    EXPECT_TRUE(ShowsConnectButton(shots[0])) << "the unlinked editor offers Connect again";
    EXPECT_LT(UnlitArticulationCellPixels(shots[0]), 200);
  }

  host_->send("quit");
  EXPECT_EQ(host_->waitForExit(15s), 0) << host_->transcript();
  tolvane_->send("quit");
  EXPECT_EQ(tolvane_->waitForExit(10s), 0) << tolvane_->transcript();
}

}  // namespace
}  // namespace korvel::e2e
