// korvel-host as a user runs it: the built binary against the built bundle, in a child
// process, judged by its exit status and its report.
#include <signal.h>

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <filesystem>

#include "tests/host/HostProcess.h"

namespace korvel::host::test {
namespace {

using korvel::test::ReadFile;
using korvel::test::TempDir;
using korvel::test::WaitUntil;

template <size_t N>
std::string Bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

// A format-1 file: a tempo track, then two instrument tracks on channels 3 and 1.
std::string WriteMIDI(const TempDir& dir) {
  auto chunk = [](std::string body) {
    body += Bytes("\x00\xFF\x2F\x00");
    return Bytes("MTrk\0\0") + char(body.size() >> 8) + char(body.size()) + body;
  };
  const std::string path = dir.file("small.mid");
  korvel::test::WriteFile(path,
                          Bytes("MThd\0\0\0\6\0\1\0\3\0\x60") +
                              chunk(Bytes("\x00\xFF\x51\x03\x01\x86\xA0")) +  // 0.1 s a quarter
                              chunk(Bytes("\x00\xFF\x03\x04"
                                          "Lead"
                                          "\x00\xB2\x01\x10"
                                          "\x10\x01\x5A"      // CC1 16 then 90, ch 3
                                          "\x00\x0B\x30"      // CC11 48, running status
                                          "\x10\x92\x18\x01"  // keyswitch C0
                                          "\x10\x92\x3C\x4D"  // note, velocity 77
                                          "\x30\x82\x3C\x00")) +
                              chunk(Bytes("\x00\xFF\x03\x04"
                                          "Bass"
                                          "\x00\x90\x1A\x01"      // keyswitch D0
                                          "\x10\x90\x24\x21"      // note, velocity 33
                                          "\x00\xB0\x40\x7F")));  // sustain 127
  return path;
}

// (That it passes on the built bundle is shown together with its stress phase.)
TEST(HostValidate, FailsOnBundlesThatCannotLoad) {
  namespace fs = std::filesystem;
  TempDir dir;
  const std::string bundle = dir.file("Broken.component");
  fs::create_directories(bundle + "/Contents/x86_64-linux");
  fs::copy_file(std::string(KORVEL_TEST_BUNDLE) + "/Contents/x86_64-linux/Korvel.so",
                bundle + "/Contents/x86_64-linux/Korvel.so");
  std::string plist = ReadFile(std::string(KORVEL_TEST_BUNDLE) + "/Contents/Info.plist");
  ASSERT_NE(plist.find("KorvelAUFactory"), std::string::npos);
  plist.replace(plist.find("KorvelAUFactory"), 15, "KorvelMissingFactory");
  korvel::test::WriteFile(bundle + "/Contents/Info.plist", plist);
  auto expectFailure = [](const std::string& path, const std::string& message) {
    const HostResult failed = RunHost({"validate", path});
    EXPECT_NE(failed.status, 0) << message;
    EXPECT_NE(failed.out.find(message), std::string::npos) << failed.out;
  };
  expectFailure(bundle, "FAIL  bundle: factory function \"KorvelMissingFactory\"");
  fs::remove(bundle + "/Contents/Info.plist");
  expectFailure(bundle, "no Contents/Info.plist");
  expectFailure(dir.file("Nowhere.component"), "no bundle directory");
}

// What each instance saw; the saved project loaded twice (or with --duplicate) gives
// the copies fresh UIDs.
TEST(HostPlay, ReportsWhatEachInstanceSawAndLoadsProjects) {
  TempDir dir;
  const std::string midi = WriteMIDI(dir), project = dir.file("first.plist");
  auto play = [&](std::vector<std::string> more) {
    more.insert(more.begin(), {"play", midi, "--speed", "0", "--bundle", KORVEL_TEST_BUNDLE});
    HostResult r = RunHost(more);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return r;
  };
  HostResult r = play({"--save", project});
  auto lead = [&](const char* key) { return TrackField(r.out, 1, key); };
  auto bass = [&](const char* key) { return TrackField(r.out, 2, key); };
  EXPECT_NE(r.out.find("track 1: Lead\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("track 2: Bass\n"), std::string::npos) << r.out;
  EXPECT_EQ(lead("controllers"), "CC1 max 90, CC11 max 48");
  // Unlinked, no keyswitch list is known: keyswitch notes are notes like any other.
  EXPECT_EQ(lead("articulation"), "none");
  EXPECT_EQ(lead("last velocity"), "77");
  EXPECT_EQ(lead("thru events"), "6");
  EXPECT_EQ(bass("controllers"), "CC64 max 127");
  EXPECT_EQ(bass("last velocity"), "33");
  EXPECT_EQ(bass("thru events"), "3");
  EXPECT_EQ(r.out.find("track 3: "), std::string::npos);
  const std::string leadUID = lead("uid"), bassUID = bass("uid");
  EXPECT_NE(leadUID, bassUID);

  r = play({"--load", project, "--load", project});
  const std::string copy1 = TrackField(r.out, 3, "uid"), copy2 = TrackField(r.out, 4, "uid");
  EXPECT_EQ(lead("uid"), leadUID);
  EXPECT_EQ(bass("uid"), bassUID);
  EXPECT_EQ(copy1.size(), 8u);
  EXPECT_NE(copy1, leadUID);
  EXPECT_NE(copy2, bassUID);
  EXPECT_NE(
      r.err.find("Korvel: duplicated UID " + leadUID + " detected, assigned fresh UID " + copy1),
      std::string::npos)
      << r.err;
  r = play({"--load", project, "--duplicate"});
  EXPECT_NE(r.err.find("duplicated UID " + bassUID), std::string::npos) << r.err;

  // --tracks 1 puts both MIDI tracks on one instance.
  r = play({"--tracks", "1"});
  EXPECT_EQ(lead("controllers"), "CC1 max 90, CC11 max 48, CC64 max 127");
  EXPECT_EQ(lead("thru events"), "9");
  EXPECT_EQ(r.out.find("track 2: "), std::string::npos);

  EXPECT_NE(RunHost({"play", dir.file("missing.mid"), "--bundle", KORVEL_TEST_BUNDLE}).status, 0);
}

// A JACK client standing for the keyboard (out) and the synth (in).
class JackPeer {
 public:
  JackPeer() : client_(jack_client_open("korvel-test-peer", JackNoStartServer, nullptr)) {
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
  // Ports named ":port" are this client's.
  bool connect(std::string from, std::string to) {
    for (std::string* port : {&from, &to})
      if ((*port)[0] == ':') *port = jack_get_client_name(client_) + *port;
    return jack_connect(client_, from.c_str(), to.c_str()) == 0;
  }
  // Events as status << 16 | data1 << 8 | data2.
  std::atomic<uint32_t> toSend{0}, lastReceived{0};
  std::atomic<int> received{0};

 private:
  static int Process(jack_nframes_t n, void* self) {
    auto* p = static_cast<JackPeer*>(self);
    void* out = jack_port_get_buffer(p->out_, n);
    jack_midi_clear_buffer(out);
    // An event goes out only in a cycle whose graph has both connections: the server
    // applies a new connection at a cycle boundary, so one sent right after jack_connect
    // returns could still go nowhere.
    const bool linked = jack_port_connected(p->out_) > 0 && jack_port_connected(p->in_) > 0;
    if (const uint32_t e = linked ? p->toSend.exchange(0) : 0) {
      const jack_midi_data_t bytes[3] = {uint8_t(e >> 16), uint8_t(e >> 8), uint8_t(e)};
      jack_midi_event_write(out, 0, bytes, 3);
    }
    void* in = jack_port_get_buffer(p->in_, n);
    for (uint32_t i = 0; i < jack_midi_get_event_count(in); ++i) {
      jack_midi_event_t ev;
      jack_midi_event_get(&ev, in, i);
      p->lastReceived =
          ev.size == 3 ? uint32_t(ev.buffer[0]) << 16 | ev.buffer[1] << 8 | ev.buffer[2] : 0;
      ++p->received;
    }
    return 0;
  }
  jack_client_t* client_;
  jack_port_t* out_ = nullptr;
  jack_port_t* in_ = nullptr;
};

TEST(HostLive, PassesKeyboardMIDIThroughKorvelToTheSynth) {
  korvel::test::PrivateJackServer server;
  ASSERT_TRUE(server.running());
  TempDir dir;
  ChildProcess live(HostArgv({"live", "--bundle", KORVEL_TEST_BUNDLE}));
  JackPeer peer;
  ASSERT_TRUE(peer.ok());
  ASSERT_TRUE(WaitUntil([&] { return live.output().find("live: ") != std::string::npos; }))
      << live.errors();
  std::string host = live.output().substr(6);
  host = host.substr(0, host.find(':'));
  ASSERT_TRUE(peer.connect(":keys", host + ":MIDI In"));
  ASSERT_TRUE(peer.connect(host + ":MIDI Out", ":synth"));

  const uint32_t events[] = {0xB00163, 0xB40B2A, 0x904065,
                             0x804000};  // CC1 99, CC11 42, note 101, off
  for (int i = 0; i < 4; ++i) {
    peer.toSend = events[i];
    ASSERT_TRUE(WaitUntil([&] { return peer.received >= i + 1; })) << "event " << i;
    EXPECT_EQ(peer.lastReceived.load(), events[i]) << "event " << i;
  }
  ASSERT_EQ(::kill(live.pid(), SIGTERM), 0);
  const auto r = Finish(live);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 0) << r->err;
  EXPECT_EQ(TrackField(r->out, 1, "controllers"), "CC1 max 99, CC11 max 42");
  EXPECT_EQ(TrackField(r->out, 1, "last velocity"), "101");
  EXPECT_EQ(TrackField(r->out, 1, "thru events"), "4");
}

}  // namespace
}  // namespace korvel::host::test
