// The LV2 bundle in real hosts on a private jackd with tolvane: jalv, and Ardour's own
// Lua session tool (a session with two Korvel tracks, saved and loaded in a new process).
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <set>

#include "tests/platform/MIDIDump.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace korvel::test {
namespace {

using namespace std::chrono_literals;
using Message = MIDIDump::Message;
using UIDs = std::set<std::string>;

const std::vector<Message> kMessages = {{0x90, 0x3C, 0x64}, {0xB2, 0x01, 0x40},
                                        {0xC3, 0x07},       {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},
                                        {0xE0, 0x00, 0x40}, {0x80, 0x3C, 0x00}};

// A JACK client that plays kMessages, one per frame, into a host's input and returns what
// reaches the host's output, leaving out the sustain, all-notes-off and reset-controllers
// messages Ardour itself sends. A host may still be settling when the first block comes:
// a block that vanished whole is played again.
class MIDISender {
 public:
  MIDISender() {
    jack_set_process_callback(client_, Process, this);
    jack_activate(client_);
  }
  ~MIDISender() { jack_client_close(client_); }
  std::vector<Message> playThrough(const std::string& input, const std::string& output) {
    MIDIDump dump("korvel-test-dump");
    std::vector<Message> received;
    if (!WaitUntil([&] {
          return connect(jack_port_name(port_), input) && connect(output, dump.inputName());
        }))
      return received;
    for (int attempt = 0; attempt < 5 && received.empty(); ++attempt) {
      pending_.store(true);
      WaitUntil(
          [&] {
            received.clear();
            for (const Message& m : dump.received())
              if (!(m.size() == 3 && (m[0] & 0xF0) == 0xB0 &&
                    (m[1] == 64 || m[1] == 121 || m[1] == 123) && m[2] == 0))
                received.push_back(m);
            return received.size() >= kMessages.size();
          },
          2s);
    }
    return received;
  }

 private:
  bool connect(const std::string& from, const std::string& to) {
    const int result = jack_connect(client_, from.c_str(), to.c_str());
    return result == 0 || result == EEXIST;
  }
  static int Process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<MIDISender*>(arg);
    void* buffer = jack_port_get_buffer(self->port_, frames);
    jack_midi_clear_buffer(buffer);
    if (self->pending_.exchange(false))
      for (jack_nframes_t i = 0; i < kMessages.size(); ++i)
        jack_midi_event_write(buffer, i, kMessages[i].data(), kMessages[i].size());
    return 0;
  }
  jack_client_t* client_ = jack_client_open("korvel-test-sender", JackNoStartServer, nullptr);
  jack_port_t* port_ =
      jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  std::atomic<bool> pending_{false};
};

class LV2HostsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(jack_.running());
    ASSERT_TRUE(tolvane_.waitForLine("ready", 0, 10s)) << tolvane_.transcript();
  }
  std::unique_ptr<ChildProcess> host(const std::string& program,
                                     const std::vector<std::string>& args) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(
        argv, Environment{{"LV2_PATH", KORVEL_LV2_PATH}, {"HOME", home_.path()}},
        home_.file("host.err"));
  }
  // The UIDs of tolvane's heartbeats from now on, once `enough` holds at one (or after 15 s).
  UIDs heartbeats(const std::function<bool(const UIDs&)>& enough) {
    UIDs uids;
    tolvane_.waitForLine(
        [&](const std::string& line) {
          if (line.rfind("heartbeat UID ", 0) != 0) return false;
          uids.insert(line.substr(14));
          return enough(uids);
        },
        tolvane_.lineCount(), 15s);
    return uids;
  }
  PrivateJackServer jack_{256, 0, true};
  TempDir home_;
  ChildProcess tolvane_{{TOLVANE_BINARY, "-s", TOLVANE_SESSION, "run", "--keep-running"},
                        {},
                        home_.file("tolvane.err")};
};

TEST_F(LV2HostsTest, JalvPassesMIDIAndTheInstanceSendsHeartbeatsEverySecond) {
  // jalv ends when its standard input closes; the pipe stays open while the test runs.
  auto jalv = host("/usr/bin/jalv", {"-n", "korvel-jalv", "urn:korvel:lv2"});
  EXPECT_EQ(MIDISender().playThrough("korvel-jalv:midi_in", "korvel-jalv:midi_out"), kMessages);
  // Once a second on average: one beat late on a busy machine is made up by the next.
  std::vector<Clock::time_point> beats;
  heartbeats([&](const UIDs& uids) {
    beats.push_back(Clock::now());
    return uids.size() > 1 || beats.size() == 5;
  });
  ASSERT_EQ(beats.size(), 5u) << tolvane_.transcript();
  const auto mean = (beats.back() - beats.front()) / 4;
  EXPECT_GT(mean, 850ms);
  EXPECT_LT(mean, 1150ms);
}

TEST_F(LV2HostsTest, ArdourSessionKeepsTwoUIDsThroughSaveAndLoadAndGivesACopiedTrackANewOne) {
  const std::string session = home_.file("session");
  // On a busy machine the JACK server now and then drops Ardour 7 while it starts a session
  // (its engine halts, with or without Korvel in the session): such a run is repeated.
  auto withArdour = [&](const std::string& mode, const std::function<bool(ChildProcess&)>& steps) {
    for (int attempt = 1;; ++attempt) {
      if (mode == "create") std::filesystem::remove_all(session);
      auto ardour =
          host("/usr/bin/ardour7-lua", {KORVEL_ARDOUR_SCRIPT, mode, session, "korvel-ardour"});
      if (ardour->waitForLine("ready", 0, 60s) && steps(*ardour)) return true;
      if (attempt == 3 || ardour->transcript().find("JACK HALTED") == std::string::npos) {
        ADD_FAILURE() << tolvane_.transcript() << ardour->transcript();
        return false;
      }
    }
  };
  std::vector<Message> thru;
  UIDs created, reloaded, withCopy;
  std::string log;
  ASSERT_TRUE(withArdour("create", [&](ChildProcess& ardour) {
    thru = MIDISender().playThrough("korvel-ardour:Track 1/midi_in 1",
                                    "korvel-ardour:Track 1/midi_out 1");
    created = heartbeats([](const UIDs& uids) { return uids.size() == 2; });
    ardour.send("save and close");
    return thru == kMessages && created.size() == 2 && ardour.waitForExit(30s) == 0;
  }));
  EXPECT_TRUE(withArdour("load", [&](ChildProcess& ardour) {
    if ((reloaded = heartbeats([&](const UIDs& uids) { return uids == created; })) != created)
      return false;
    ardour.send("copy track 1");
    if (!ardour.waitForLine("third", 0, 30s)) return false;
    withCopy = heartbeats([](const UIDs& uids) { return uids.size() == 3; });
    ardour.send("close");
    const bool closed = ardour.waitForExit(30s) == 0;
    log = ardour.transcript();
    return withCopy.size() == 3 && closed;
  }));
  EXPECT_EQ(thru, kMessages);
  EXPECT_EQ(reloaded, created);
  EXPECT_TRUE(std::includes(withCopy.begin(), withCopy.end(), created.begin(), created.end()));
  EXPECT_NE(log.find("Korvel: duplicated UID"), std::string::npos);
}

}  // namespace
}  // namespace korvel::test
