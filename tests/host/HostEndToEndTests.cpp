// korvel-host as a user runs it: the built binary against the built bundle, in a child
// process, judged by its exit status and its report.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace korvel::host {
namespace {

using korvel::test::ReadFile;
using korvel::test::TempDir;
using korvel::test::WaitUntil;
using korvel::test::WriteFile;

struct HostRun {
  int status = -1;
  std::string out, err;
};

// Starts korvel-host with `args`; its output goes to files in `dir`.
pid_t Start(const TempDir& dir, const std::vector<std::string>& args) {
  std::vector<std::string> all = {KORVEL_HOST_BINARY};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, dir.file("stdout").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, dir.file("stderr").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

HostRun Finish(const TempDir& dir, pid_t pid) {
  HostRun r;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid)
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = ReadFile(dir.file("stdout"));
  r.err = ReadFile(dir.file("stderr"));
  return r;
}

HostRun Host(const std::vector<std::string>& args) {
  TempDir dir;
  return Finish(dir, Start(dir, args));
}

// The report's block for track `n` (1-based), as key -> value.
std::map<std::string, std::string> TrackReport(const std::string& out, int n) {
  std::map<std::string, std::string> fields;
  std::string header = "track " + std::to_string(n) + ": ";
  size_t at = out.find(header);
  if (at == std::string::npos) return fields;
  size_t lineEnd = out.find('\n', at);
  fields["name"] = out.substr(at + header.size(), lineEnd - at - header.size());
  static const std::regex kLine(R"(^  ([a-z ]+): ?(.*)$)");
  size_t pos = lineEnd + 1;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    std::string line = out.substr(pos, end - pos);
    std::smatch m;
    if (!std::regex_match(line, m, kLine)) break;
    fields[m[1]] = m[2];
    pos = end == std::string::npos ? out.size() : end + 1;
  }
  return fields;
}

// A format-1 file: a tempo track, then two instrument tracks on channels 3 and 1.
std::vector<uint8_t> SmallMidiFile() {
  auto chunk = [](std::vector<uint8_t> body) {
    for (uint8_t b : {0x00, 0xFF, 0x2F, 0x00}) body.push_back(b);
    std::vector<uint8_t> out = {'M', 'T', 'r', 'k', 0, 0, uint8_t(body.size() >> 8),
                                uint8_t(body.size())};
    for (uint8_t b : body) out.push_back(b);  // (insert trips a false -Warray-bounds in g++ 12 -O2)
    return out;
  };
  std::vector<uint8_t> file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 3, 0, 96};
  for (auto& c : {chunk({0x00, 0xFF, 0x51, 0x03, 0x01, 0x86, 0xA0}),  // 0.1 s a quarter
                  chunk({0x00, 0xFF, 0x03, 0x04, 'L', 'e', 'a', 'd',
                         0x00, 0xB2, 0x01, 0x10, 0x10, 0x01, 0x5A,  // CC1 16 then 90, ch 3
                         0x00, 0x0B, 0x30,                          // CC11 48, running status
                         0x10, 0x92, 0x18, 0x01,                    // keyswitch C0
                         0x10, 0x92, 0x3C, 0x4D,                    // note, velocity 77
                         0x30, 0x82, 0x3C, 0x00}),
                  chunk({0x00, 0xFF, 0x03, 0x04, 'B', 'a', 's', 's',
                         0x00, 0x90, 0x1A, 0x01,                    // keyswitch D0
                         0x10, 0x90, 0x24, 0x21,                    // note, velocity 33
                         0x00, 0xB0, 0x40, 0x7F})})                 // sustain 127
    file.insert(file.end(), c.begin(), c.end());
  return file;
}

std::string WriteMidi(const TempDir& dir) {
  std::string path = dir.file("small.mid");
  auto bytes = SmallMidiFile();
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
  return path;
}

TEST(HostValidate, PassesOnTheBuiltBundle) {
  HostRun r = Host({"validate", KORVEL_TEST_BUNDLE});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("FAIL"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("PASS  properties"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("validation passed"), std::string::npos) << r.out;
}

TEST(HostValidate, FailsClearlyOnBundlesThatCannotLoad) {
  namespace fs = std::filesystem;
  TempDir dir;
  std::string bundle = dir.file("Broken.component");
  fs::create_directories(bundle + "/Contents/x86_64-linux");
  fs::copy_file(std::string(KORVEL_TEST_BUNDLE) + "/Contents/x86_64-linux/Korvel.so",
                bundle + "/Contents/x86_64-linux/Korvel.so");
  std::string plist = ReadFile(std::string(KORVEL_TEST_BUNDLE) + "/Contents/Info.plist");
  size_t at = plist.find("KorvelAUFactory");
  ASSERT_NE(at, std::string::npos);
  plist.replace(at, 15, "KorvelMissingFactory");
  WriteFile(bundle + "/Contents/Info.plist", plist);

  HostRun r = Host({"validate", bundle});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("FAIL  bundle: factory function \"KorvelMissingFactory\""),
            std::string::npos) << r.out;

  fs::remove(bundle + "/Contents/Info.plist");
  r = Host({"validate", bundle});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("no Contents/Info.plist"), std::string::npos) << r.out;

  r = Host({"validate", dir.file("Nowhere.component")});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("no bundle directory"), std::string::npos) << r.out;
}

TEST(HostPlay, ReportsWhatEachInstanceSaw) {
  TempDir dir;
  HostRun r = Host({"play", WriteMidi(dir), "--speed", "0", "--bundle", KORVEL_TEST_BUNDLE});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  auto lead = TrackReport(r.out, 1);
  auto bass = TrackReport(r.out, 2);
  EXPECT_EQ(lead["name"], "Lead");
  EXPECT_EQ(lead["controllers"], "CC1 max 90, CC11 max 48");
  // Unlinked, no keyswitch list is known: keyswitch notes are notes like any other.
  EXPECT_EQ(lead["articulation"], "none");
  EXPECT_EQ(lead["last velocity"], "77");
  EXPECT_EQ(lead["thru events"], "6");
  EXPECT_EQ(bass["name"], "Bass");
  EXPECT_EQ(bass["controllers"], "CC64 max 127");
  EXPECT_EQ(bass["last velocity"], "33");
  EXPECT_EQ(bass["thru events"], "3");
  EXPECT_NE(lead["uid"], bass["uid"]);
  EXPECT_TRUE(TrackReport(r.out, 3).empty());

  // --tracks 1 puts both MIDI tracks on one instance.
  r = Host({"play", WriteMidi(dir), "--speed", "0", "--tracks", "1", "--bundle",
            KORVEL_TEST_BUNDLE});
  ASSERT_EQ(r.status, 0) << r.err;
  auto only = TrackReport(r.out, 1);
  EXPECT_EQ(only["controllers"], "CC1 max 90, CC11 max 48, CC64 max 127");
  EXPECT_EQ(only["thru events"], "9");
  EXPECT_TRUE(TrackReport(r.out, 2).empty());

  r = Host({"play", dir.file("missing.mid"), "--bundle", KORVEL_TEST_BUNDLE});
  EXPECT_NE(r.status, 0);
}

std::string ConnectionFile(const std::string& uid) {
  return "/tmp/korvel_connection_" + uid + ".json";
}

TEST(HostProject, SaveAndLoadKeepEveryTracksUIDAndLink) {
  TempDir dir;
  std::string midi = WriteMidi(dir);
  std::string first = dir.file("first.plist"), second = dir.file("second.plist");
  HostRun saved = Host({"play", midi, "--speed", "0", "--save", first, "--bundle", KORVEL_TEST_BUNDLE});
  ASSERT_EQ(saved.status, 0) << saved.err;
  std::string leadUID = TrackReport(saved.out, 1)["uid"], bassUID = TrackReport(saved.out, 2)["uid"];
  ASSERT_EQ(leadUID.size(), 8u);

  // The companion links both tracks while the project is closed.
  struct Cleanup {
    std::vector<std::string> files;
    ~Cleanup() {
      for (auto& f : files) std::remove(f.c_str());
    }
  } cleanup{{ConnectionFile(leadUID), ConnectionFile(bassUID)}};
  WriteFile(ConnectionFile(leadUID),
            R"({"status":"connected","trackName":"Strings Lead","articulationNotes":[24,25,26]})");
  WriteFile(ConnectionFile(bassUID),
            R"({"status":"connected","trackName":"Low End","articulationNotes":[24,25,26]})");

  HostRun loaded = Host({"play", midi, "--speed", "0", "--load", first, "--wait-linked", "10",
                     "--save", second, "--bundle", KORVEL_TEST_BUNDLE});
  ASSERT_EQ(loaded.status, 0) << loaded.err;
  auto lead = TrackReport(loaded.out, 1), bass = TrackReport(loaded.out, 2);
  EXPECT_EQ(lead["uid"], leadUID);
  EXPECT_EQ(bass["uid"], bassUID);
  EXPECT_EQ(lead["connected"], "yes");
  EXPECT_EQ(lead["companion track"], "Strings Lead");
  EXPECT_EQ(bass["companion track"], "Low End");
  // The keyswitch list came from the connection file: now C0 and D0 are articulations.
  EXPECT_EQ(lead["articulation"], "24");
  EXPECT_EQ(bass["articulation"], "26");

  // The link is in the second project too: loading it needs no connection file read.
  std::string project = ReadFile(second);
  EXPECT_NE(project.find("Strings Lead"), std::string::npos);
  EXPECT_NE(project.find("tvConnected"), std::string::npos);
}

TEST(HostProject, LoadingAProjectTwiceGivesTheCopiesFreshUIDs) {
  TempDir dir;
  std::string midi = WriteMidi(dir), project = dir.file("p.plist");
  HostRun saved = Host({"play", midi, "--speed", "0", "--save", project, "--bundle", KORVEL_TEST_BUNDLE});
  ASSERT_EQ(saved.status, 0) << saved.err;
  HostRun twice = Host({"play", midi, "--speed", "0", "--load", project, "--load", project,
                    "--bundle", KORVEL_TEST_BUNDLE});
  ASSERT_EQ(twice.status, 0) << twice.err;
  std::vector<std::string> uids;
  for (int n = 1; n <= 4; ++n) uids.push_back(TrackReport(twice.out, n)["uid"]);
  EXPECT_EQ(uids[0], TrackReport(saved.out, 1)["uid"]);
  EXPECT_EQ(uids[1], TrackReport(saved.out, 2)["uid"]);
  EXPECT_NE(uids[2], uids[0]);
  EXPECT_NE(uids[3], uids[1]);
  EXPECT_EQ(uids[2].size(), 8u);
  EXPECT_NE(twice.err.find("Korvel: duplicated UID " + uids[0] + " detected, assigned fresh UID " +
                           uids[2]),
            std::string::npos)
      << twice.err;
  // --duplicate does the same with one --load.
  HostRun dup = Host({"play", midi, "--speed", "0", "--load", project, "--duplicate", "--bundle",
                  KORVEL_TEST_BUNDLE});
  ASSERT_EQ(dup.status, 0);
  EXPECT_NE(dup.err.find("duplicated UID " + uids[1]), std::string::npos) << dup.err;
}

// A JACK client standing for the keyboard (out) and the synth (in).
class JackPeer {
 public:
  JackPeer() {
    client_ = jack_client_open("korvel-test-peer", JackNoStartServer, nullptr);
    if (!client_) return;
    out_ = jack_port_register(client_, "keys", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    in_ = jack_port_register(client_, "synth", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client_, &Process, this);
    jack_activate(client_);
  }
  ~JackPeer() {
    if (client_) jack_client_close(client_);
  }
  bool ok() const { return client_ && out_ && in_; }
  std::string name() const { return jack_get_client_name(client_); }
  bool connect(const std::string& from, const std::string& to) {
    return jack_connect(client_, from.c_str(), to.c_str()) == 0;
  }
  void send(uint8_t s, uint8_t d1, uint8_t d2) {
    pending_[0] = s;
    pending_[1] = d1;
    pending_[2] = d2;
    sendFlag_.store(true);
  }
  bool sent() const { return !sendFlag_.load(); }
  int received() const { return received_.load(); }
  uint8_t lastReceived(int i) const { return last_[i].load(); }

 private:
  static int Process(jack_nframes_t n, void* self) {
    auto* p = static_cast<JackPeer*>(self);
    void* out = jack_port_get_buffer(p->out_, n);
    jack_midi_clear_buffer(out);
    if (p->sendFlag_.load()) {
      jack_midi_event_write(out, 0, p->pending_, 3);
      p->sendFlag_.store(false);
    }
    void* in = jack_port_get_buffer(p->in_, n);
    for (uint32_t i = 0; i < jack_midi_get_event_count(in); ++i) {
      jack_midi_event_t ev;
      jack_midi_event_get(&ev, in, i);
      for (size_t k = 0; k < 3 && k < ev.size; ++k) p->last_[k].store(ev.buffer[k]);
      p->received_.fetch_add(1);
    }
    return 0;
  }
  jack_client_t* client_ = nullptr;
  jack_port_t* out_ = nullptr;
  jack_port_t* in_ = nullptr;
  uint8_t pending_[3] = {};
  std::atomic<bool> sendFlag_{false};
  std::atomic<int> received_{0};
  std::atomic<uint8_t> last_[3] = {};
};

TEST(HostLive, PassesKeyboardMidiThroughKorvelToTheSynth) {
  korvel::test::PrivateJackServer server;
  ASSERT_TRUE(server.running());
  TempDir dir;
  pid_t pid = Start(dir, {"live", "--bundle", KORVEL_TEST_BUNDLE});
  ASSERT_GT(pid, 0);
  JackPeer peer;
  ASSERT_TRUE(peer.ok());
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(dir.file("stdout")).find("live: ") != std::string::npos; }));
  std::string host = ReadFile(dir.file("stdout")).substr(6);
  host = host.substr(0, host.find(':'));
  ASSERT_TRUE(peer.connect(peer.name() + ":keys", host + ":MIDI In"));
  ASSERT_TRUE(peer.connect(host + ":MIDI Out", peer.name() + ":synth"));

  const uint8_t events[][3] = {{0xB0, 1, 99}, {0xB4, 11, 42}, {0x90, 64, 101}, {0x80, 64, 0}};
  int expected = 0;
  for (const auto& e : events) {
    peer.send(e[0], e[1], e[2]);
    ++expected;
    ASSERT_TRUE(WaitUntil([&] { return peer.received() >= expected; })) << "event " << expected;
    EXPECT_EQ(peer.lastReceived(0), e[0]);
    EXPECT_EQ(peer.lastReceived(1), e[1]);
    EXPECT_EQ(peer.lastReceived(2), e[2]);
  }
  kill(pid, SIGTERM);
  HostRun r = Finish(dir, pid);
  EXPECT_EQ(r.status, 0) << r.err;
  auto report = TrackReport(r.out, 1);
  EXPECT_EQ(report["controllers"], "CC1 max 99, CC11 max 42");
  EXPECT_EQ(report["last velocity"], "101");
  EXPECT_EQ(report["thru events"], "4");
}

}  // namespace
}  // namespace korvel::host
