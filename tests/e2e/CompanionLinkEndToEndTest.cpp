// The companion link across real processes: a private JACK server, the companion stand-in
// tolvane with the example session, and korvel-host playing the example MIDI file through
// the built bundle, both driven through their command lines. The editors are looked at
// through the host's snapshots. Both children get a home and XDG data directory of the
// test, so the user's language file and desktop entries are never touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/e2e/EditorPicture.h"
#include "tests/support/TestSupport.h"

namespace korvel::e2e {
namespace {

using namespace std::chrono_literals;
using namespace korvel::test;
using Json = nlohmann::json;

constexpr const char* kNotificationPath = "/tmp/.notify/com.tolvane.trackChanged";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string ConnectionFile(const std::string& uidHex) { return "/tmp/korvel_connection_" + uidHex + ".json"; }

Json ReadConnectionFile(const std::string& uidHex) {
  return Json::parse(ReadFile(ConnectionFile(uidHex)), nullptr, false);
}

bool FileSays(const std::string& uidHex, const std::string& status) {
  const Json file = ReadConnectionFile(uidHex);
  return file.is_object() && file.value("status", Json()) == status;
}

// The value of `key` in track n's part of a host report ("" when absent).
std::string TrackField(const std::string& report, int n, const std::string& key) {
  const size_t at = report.find("track " + std::to_string(n) + ": ");
  if (at == std::string::npos) return "";
  const size_t end = report.find("\ntrack ", at);
  const std::string part = report.substr(at, end == std::string::npos ? std::string::npos : end - at);
  const std::string label = "\n  " + key + ":";
  const size_t k = part.find(label);
  if (k == std::string::npos) return "";
  std::string value = part.substr(k + label.size(), part.find('\n', k + 1) - k - label.size());
  return value.empty() || value[0] != ' ' ? value : value.substr(1);
}

// The arrival times of the lines of `lines` that start with `prefix`.
std::vector<Clock::time_point> ArrivalsOf(const std::vector<OutputLine>& lines, const std::string& prefix) {
  std::vector<Clock::time_point> times;
  for (const OutputLine& line : lines)
    if (line.text.rfind(prefix, 0) == 0) times.push_back(line.arrived);
  return times;
}

// The connection files of the UIDs a test's instances held: they outlive the host by
// design, so the test removes them itself.
class ConnectionFilesOfTest {
 public:
  ~ConnectionFilesOfTest() {
    std::error_code ec;
    for (const std::string& uid : uids_) std::filesystem::remove(ConnectionFile(uid), ec);
  }
  void add(const std::string& uid) { uids_.insert(uid); }

 private:
  std::set<std::string> uids_;
};

class CompanionLinkEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(jack_.running()) << "jackd did not start";
    for (const char* sub : {"home", "xdg", "xdg-system"}) std::filesystem::create_directories(dir_.file(sub));
  }

  Environment isolated() const {
    return {{"HOME", dir_.file("home")},
            {"XDG_DATA_HOME", dir_.file("xdg")},
            {"XDG_DATA_DIRS", dir_.file("xdg-system")}};
  }
  std::string languageFile() const {
    return dir_.file("home/Library/Application Support/Tolvane/current_language.txt");
  }

  std::unique_ptr<ChildProcess> start(const std::string& program, const std::vector<std::string>& args,
                                      const std::string& name) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = std::make_unique<ChildProcess>(argv, isolated(), dir_.file(name + ".err"));
    EXPECT_TRUE(child->started()) << program;
    return child;
  }

  void startTolvane() {
    tolvane_ = start(TOLVANE_BINARY, {"-s", TOLVANE_EXAMPLE_SESSION, "run", "--keep-running"}, "tolvane");
    ASSERT_TRUE(tolvane_->waitForLine([](const std::string& l) { return l == "ready"; }, 0, 10s))
        << tolvane_->transcript();
  }

  // Starts korvel-host playing the example file with commands on its standard input;
  // returns the UIDs its "ready" line names, in track order.
  std::vector<std::string> startHost(std::unique_ptr<ChildProcess>& host, const std::vector<std::string>& more,
                                     const std::string& name) {
    std::vector<std::string> args = {"play", KORVEL_DEMO_MIDI, "--bundle", KORVEL_TEST_BUNDLE, "--commands",
                                     "--repeat", "4"};
    args.insert(args.end(), more.begin(), more.end());
    host = start(KORVEL_HOST_BINARY, args, name);
    auto ready = host->waitForLine([](const std::string& l) { return l.rfind("ready: ", 0) == 0; }, 0, 20s);
    if (!ready) {
      ADD_FAILURE() << "korvel-host never got ready:\n" << host->transcript();
      return {};
    }
    std::istringstream words(host->line(*ready).text);
    std::string word;
    words >> word >> word >> word;  // "ready:", "N", "track(s)"
    std::vector<std::string> uids;
    while (words >> word) {
      uids.push_back(word);
      connectionFiles_.add(word);
    }
    return uids;
  }

  // Runs one host command; the lines it printed before its "ok" line.
  std::string command(ChildProcess& host, const std::string& line, std::chrono::milliseconds deadline = 10s) {
    const std::string verb = line.substr(0, line.find(' '));
    const size_t from = host.lineCount();
    host.send(line);
    auto done = host.waitForLine(
        [&](const std::string& l) { return l == "ok " + verb || l.rfind("error " + verb + ":", 0) == 0; }, from,
        deadline);
    if (!done) {
      ADD_FAILURE() << "no answer to \"" << line << "\":\n" << host.transcript();
      return "";
    }
    std::string printed;
    for (size_t i = from; i < *done; ++i) printed += host.line(i).text + "\n";
    EXPECT_EQ(host.line(*done).text, "ok " + verb) << line << "\n" << printed;
    return printed;
  }

  // Polls the host's report until track n shows the link to `companionTrack`.
  bool waitForLinkInReport(ChildProcess& host, int n, const std::string& companionTrack,
                           std::string* lastReport) {
    return WaitUntil(
        [&] {
          *lastReport = command(host, "state");
          return TrackField(*lastReport, n, "connected") == "yes" &&
                 TrackField(*lastReport, n, "companion track") == companionTrack;
        },
        10s, 100ms);
  }

  // The host's "connect N" and the companion's answer: its log line and the file.
  void connectAndWaitForCompanion(ChildProcess& host, int n, const std::string& uid, const std::string& track) {
    const size_t from = tolvane_->lineCount();
    command(host, "connect " + std::to_string(n));
    ASSERT_TRUE(tolvane_->waitForLine("connect UID " + uid, from, 10s)) << tolvane_->transcript();
    ASSERT_TRUE(WaitUntil([&] { return FileSays(uid, "connected"); }, 5s)) << ReadFile(ConnectionFile(uid));
    EXPECT_EQ(ReadConnectionFile(uid).value("trackName", Json()), track);
  }

  std::string snapshot(ChildProcess& host, const std::string& name) {
    const std::string directory = dir_.file(name);
    command(host, "snapshot " + directory);
    return directory;
  }

  void quitBoth(ChildProcess& host) {
    host.send("quit");
    EXPECT_EQ(host.waitForExit(15s), 0) << host.transcript();
    tolvane_->send("quit");
    EXPECT_EQ(tolvane_->waitForExit(10s), 0) << tolvane_->transcript();
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

// Connect from the editor, the companion's answer in the file, the report and the editor;
// forwarding of the active track's MIDI only; heartbeats; disconnect.
TEST_F(CompanionLinkEndToEnd, ConnectForwardActiveTrackOnlyAndDisconnect) {
  ASSERT_NO_FATAL_FAILURE(startTolvane());
  const std::vector<std::string> uids = startHost(host_, {}, "host");
  ASSERT_EQ(uids.size(), 2u);
  const std::string& uid = uids[0];
  const std::string& otherUID = uids[1];
  ASSERT_FALSE(std::filesystem::exists(ConnectionFile(uid))) << "a stale file for a fresh UID";

  ASSERT_NO_FATAL_FAILURE(connectAndWaitForCompanion(*host_, 1, uid, "Violins I"));
  const Json file = ReadConnectionFile(uid);
  EXPECT_EQ(file.value("articulationNotes", Json()), Json({24, 25, 26, 27, 28})) << file.dump();
  EXPECT_EQ(file.value("articulationNames", Json()).size(), 5u) << file.dump();

  std::string report;
  EXPECT_TRUE(waitForLinkInReport(*host_, 1, "Violins I", &report)) << report;
  EXPECT_EQ(TrackField(report, 1, "uid"), uid);
  EXPECT_EQ(TrackField(report, 2, "connected"), "no") << report;

  {
    const std::string shots = snapshot(*host_, "linked");
    EditorPicture linked(shots + "/track-1.png"), unlinked(shots + "/track-2.png");
    ASSERT_TRUE(linked.ok() && unlinked.ok());
    EXPECT_FALSE(ShowsConnectBlue(linked)) << "track 1 is linked: no connect button";
    // Five keyswitches, of which at most one is lit: four cells' worth of unlit area.
    EXPECT_GT(UnlitArticulationCellPixels(linked), 4 * 2500);
    EXPECT_TRUE(ShowsConnectButton(unlinked)) << "track 2 was never linked";
    EXPECT_LT(UnlitArticulationCellPixels(unlinked), 200);
  }

  // Track 2 linked as well, to another of the companion's tracks: forwarding must follow
  // the companion's active track, not merely the link.
  const size_t fromCelli = tolvane_->lineCount();
  tolvane_->send("select Celli");
  ASSERT_TRUE(tolvane_->waitForLine("selected Celli", fromCelli, 5s)) << tolvane_->transcript();
  ASSERT_NO_FATAL_FAILURE(connectAndWaitForCompanion(*host_, 2, otherUID, "Celli"));
  EXPECT_TRUE(waitForLinkInReport(*host_, 2, "Celli", &report)) << report;

  const size_t fromSelect = tolvane_->lineCount();
  tolvane_->send("select Violins I");
  ASSERT_TRUE(tolvane_->waitForLine("selected Violins I", fromSelect, 5s)) << tolvane_->transcript();
  EXPECT_EQ(ReadFile(korvel::test::kActiveUIDPath), uid);
  // The editors' status dots tell when both instances have taken the change in.
  int attempt = 0;
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::string shots = snapshot(*host_, "active-" + std::to_string(++attempt));
        return ShowsActiveTrackDot(EditorPicture(shots + "/track-1.png")) &&
               ShowsOtherTrackDot(EditorPicture(shots + "/track-2.png"));
      },
      5s, 100ms))
      << "track 1 green, track 2 orange";
  // Whatever track 2 queued while Celli was active has left by its second heartbeat from
  // now: every link tick sends the queue before the heartbeat.
  int otherBeats = 0;
  auto quietFrom = tolvane_->waitForLine(
      [&](const std::string& line) { return line == "heartbeat UID " + otherUID && ++otherBeats == 2; },
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
  auto enoughBeats = [&](const std::string& line) { return line == "heartbeat UID " + uid && ++beats >= 5; };
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
    std::cout << "[ timing ] " << arrivals.size() << " heartbeats of " << u << ", intervals " << shortest
              << " to " << longest << " s\n";
  }
  const std::vector<OutputLine> sinceQuiet(lines.begin() + static_cast<long>(*quietFrom), lines.end());
  EXPECT_TRUE(ArrivalsOf(sinceQuiet, "event UID " + otherUID).empty())
      << "track 2 is linked but not on the companion's active track\n" << tolvane_->transcript();
  EXPECT_TRUE(ArrivalsOf(lines, "untagged").empty());

  const size_t fromDisconnect = tolvane_->lineCount();
  command(*host_, "disconnect 1");
  EXPECT_TRUE(tolvane_->waitForLine("disconnect UID " + uid, fromDisconnect, 10s)) << tolvane_->transcript();
  EXPECT_TRUE(WaitUntil([&] { return FileSays(uid, "disconnected"); }, 5s)) << ReadFile(ConnectionFile(uid));
  EXPECT_TRUE(WaitUntil([&] { return TrackField(command(*host_, "state"), 1, "connected") == "no"; }, 5s, 100ms));
  {
    const std::string shots = snapshot(*host_, "disconnected");
    EditorPicture picture(shots + "/track-1.png");
    ASSERT_TRUE(picture.ok());
    EXPECT_TRUE(ShowsConnectButton(picture)) << "the unlinked editor offers Connect again";
    EXPECT_LT(UnlitArticulationCellPixels(picture), 200);
  }

  quitBoth(*host_);
}

// Both tracks linked to different companion tracks, the project saved, the host ended and
// started again on the saved project: the instances take their UIDs back and the links
// from the connection files the companion left (the keyswitch names live only there).
TEST_F(CompanionLinkEndToEnd, RestartedHostTakesBackUIDsAndLinks) {
  ASSERT_NO_FATAL_FAILURE(startTolvane());
  const std::string project = dir_.file("project.plist");
  const std::vector<std::string> uids = startHost(host_, {"--save", project}, "host-first");
  ASSERT_EQ(uids.size(), 2u);

  std::string report;
  ASSERT_NO_FATAL_FAILURE(connectAndWaitForCompanion(*host_, 1, uids[0], "Violins I"));
  ASSERT_TRUE(waitForLinkInReport(*host_, 1, "Violins I", &report)) << report;
  const size_t fromSelect = tolvane_->lineCount();
  tolvane_->send("select Celli");
  ASSERT_TRUE(tolvane_->waitForLine("selected Celli", fromSelect, 5s)) << tolvane_->transcript();
  ASSERT_NO_FATAL_FAILURE(connectAndWaitForCompanion(*host_, 2, uids[1], "Celli"));
  ASSERT_TRUE(waitForLinkInReport(*host_, 2, "Celli", &report)) << report;

  const size_t fromQuit = host_->lineCount();
  host_->send("quit");
  ASSERT_EQ(host_->waitForExit(15s), 0) << host_->transcript();
  EXPECT_TRUE(host_->waitForLine("saved " + project, fromQuit, 1s)) << host_->transcript();
  host_.reset();

  const Clock::time_point restart = Clock::now();
  const std::vector<std::string> restored =
      startHost(host_, {"--load", project, "--wait-linked", "10"}, "host-second");
  // --wait-linked ends as soon as every track is linked: well before its 10 s.
  const double readyAfter = Seconds(Clock::now() - restart);
  EXPECT_EQ(restored, uids);
  EXPECT_LT(readyAfter, 8.0);
  std::cout << "[ timing ] restarted host ready with both links after " << readyAfter << " s\n";

  report = command(*host_, "state");
  EXPECT_EQ(TrackField(report, 1, "connected"), "yes") << report;
  EXPECT_EQ(TrackField(report, 1, "companion track"), "Violins I") << report;
  EXPECT_EQ(TrackField(report, 2, "connected"), "yes") << report;
  EXPECT_EQ(TrackField(report, 2, "companion track"), "Celli") << report;

  const std::string shots = snapshot(*host_, "restored");
  EditorPicture violins(shots + "/track-1.png"), celli(shots + "/track-2.png");
  ASSERT_TRUE(violins.ok() && celli.ok());
  EXPECT_FALSE(ShowsConnectBlue(violins));
  EXPECT_FALSE(ShowsConnectBlue(celli));
  EXPECT_GT(UnlitArticulationCellPixels(violins), 4 * 2500) << "five keyswitch cells";
  EXPECT_GT(UnlitArticulationCellPixels(celli), 2 * 2500) << "three keyswitch cells";
  EXPECT_LT(UnlitArticulationCellPixels(celli), 3 * 4000) << "not five";

  quitBoth(*host_);
}

// The editor's grid headers follow the companion's language. The table looks at the
// language file at most every 5 s, so the switch shows within that (plus the time
// between two snapshots).
TEST_F(CompanionLinkEndToEnd, GridHeadersFollowTheCompanionsLanguage) {
  {
    auto install = start(TOLVANE_BINARY, {"install", "--applications", dir_.file("xdg/applications")}, "install");
    ASSERT_EQ(install->waitForExit(10s), 0) << install->transcript();
    ASSERT_TRUE(std::filesystem::exists(dir_.file("xdg/applications/com.tolvane.Tolvane.desktop")));
  }
  ASSERT_NO_FATAL_FAILURE(startTolvane());
  const std::vector<std::string> uids = startHost(host_, {}, "host");
  ASSERT_EQ(uids.size(), 2u);
  ASSERT_NO_FATAL_FAILURE(connectAndWaitForCompanion(*host_, 1, uids[0], "Violins I"));
  std::string report;
  ASSERT_TRUE(waitForLinkInReport(*host_, 1, "Violins I", &report)) << report;

  {
    const std::string shots = snapshot(*host_, "english");
    EditorPicture picture(shots + "/track-1.png");
    ASSERT_TRUE(picture.ok());
    ASSERT_FALSE(ShowsConnectBlue(picture)) << "the grid is shown";
    ASSERT_EQ(FirstHeaderTextPixelsRightOfCC(picture), 0) << "\"CC\" ends well left of x 30";
  }

  const size_t fromLanguage = tolvane_->lineCount();
  tolvane_->send("language de");
  auto switched = tolvane_->waitForLine("language de", fromLanguage, 5s);
  ASSERT_TRUE(switched) << tolvane_->transcript();
  EXPECT_EQ(ReadFile(languageFile()), "de\n");
  const Clock::time_point written = tolvane_->line(*switched).arrived;

  int attempt = 0, textPixels = 0;
  std::optional<double> germanAfter;
  WaitUntil(
      [&] {
        const size_t from = host_->lineCount();
        const std::string shots = snapshot(*host_, "german-" + std::to_string(++attempt));
        EditorPicture picture(shots + "/track-1.png");
        textPixels = FirstHeaderTextPixelsRightOfCC(picture);
        if (textPixels < 20) return false;
        auto answered = host_->waitForLine("ok snapshot", from, 1s);
        germanAfter = Seconds((answered ? host_->line(*answered).arrived : Clock::now()) - written);
        return true;
      },
      15s, 200ms);
  ASSERT_TRUE(germanAfter) << "still English after 15 s (" << textPixels << " header pixels, " << attempt
                           << " snapshots)";
  std::cout << "[ timing ] grid header German " << *germanAfter << " s after the language file was written ("
            << attempt << " snapshots; " << textPixels << " header pixels right of \"CC\")\n";
  EXPECT_LE(*germanAfter, 6.0) << "one check of the language file every 5 s, snapshots every 0.2 s";

  quitBoth(*host_);
}

}  // namespace
}  // namespace korvel::e2e
