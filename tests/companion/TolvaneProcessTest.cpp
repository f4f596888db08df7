// The real tolvane program, driven as the plug-in drives it: MIDI through a private JACK
// server, lines read from its standard output through a pipe.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/MIDIPacketList.h"
#include "platform/MIDIServices.h"
#include "tests/support/TestSupport.h"

namespace korvel::test {
namespace {

// tolvane as a child process with its standard input and output on pipes.
class TolvaneProcess {
 public:
  TolvaneProcess(const std::string& home, std::vector<std::string> args) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      close(in[1]);
      close(out[0]);
      setenv("HOME", home.c_str(), 1);
      std::vector<char*> argv{const_cast<char*>(TOLVANE_PATH)};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(TOLVANE_PATH, argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
    fcntl(output_, F_SETFL, O_NONBLOCK);
  }
  ~TolvaneProcess() {
    if (input_ >= 0) close(input_);
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGTERM);
      if (!WaitUntil([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, std::chrono::seconds(5))) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
    if (output_ >= 0) close(output_);
  }

  void send(const std::string& line) { (void)!write(input_, line.data(), line.size()); }
  void closeInput() {
    close(input_);
    input_ = -1;
  }
  // Waits for the next line that `line` appears in, with a deadline.
  bool waitForLine(const std::string& line) {
    return WaitUntil([&] {
      drain();
      for (size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].find(line) != std::string::npos) {
          lines_.erase(lines_.begin(), lines_.begin() + static_cast<long>(i) + 1);
          return true;
        }
      }
      return false;
    });
  }
  std::optional<int> waitForExit() {
    int status = 0;
    if (!WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; })) return std::nullopt;
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  void drain() {
    char buffer[4096];
    ssize_t n;
    while ((n = read(output_, buffer, sizeof buffer)) > 0) partial_.append(buffer, static_cast<size_t>(n));
    size_t newline;
    while ((newline = partial_.find('\n')) != std::string::npos) {
      lines_.push_back(partial_.substr(0, newline));
      partial_.erase(0, newline + 1);
    }
  }

  pid_t pid_ = -1;
  bool exited_ = false;
  int input_ = -1;
  int output_ = -1;
  std::string partial_;
  std::vector<std::string> lines_;
};

// Keeps the fixed files the test touches as they were found.
class SavedFile {
 public:
  explicit SavedFile(std::string path) : path_(std::move(path)) {
    if (std::filesystem::exists(path_)) before_ = ReadFile(path_);
  }
  ~SavedFile() {
    if (before_) {
      WriteFile(path_, *before_);
    } else {
      std::filesystem::remove(path_);
    }
  }

 private:
  std::string path_;
  std::optional<std::string> before_;
};

struct Packets {
  alignas(8) uint8_t bytes[256];
  MIDIPacketList* list = reinterpret_cast<MIDIPacketList*>(bytes);
  MIDIPacket* current = MIDIPacketListInit(list);
  Packets& add(std::vector<uint8_t> data) {
    current = MIDIPacketListAdd(list, sizeof bytes, current, 0, data.size(), data.data());
    return *this;
  }
};

std::vector<uint8_t> Header(uint32_t uid) {
  return {0xF0, 0x7D, static_cast<uint8_t>((uid >> 28) & 0x0F), static_cast<uint8_t>((uid >> 21) & 0x7F),
          static_cast<uint8_t>((uid >> 14) & 0x7F), static_cast<uint8_t>((uid >> 7) & 0x7F),
          static_cast<uint8_t>(uid & 0x7F)};
}
std::vector<uint8_t> Command(uint32_t uid, uint8_t command) {
  auto bytes = Header(uid);
  bytes.push_back(command);
  bytes.push_back(0xF7);
  return bytes;
}

TEST(Tolvane, AnswersAConnectRequestByWritingTheConnectionFile) {
  PrivateJackServer server;
  ASSERT_TRUE(server.running());
  TempDir home;
  // A UID of this test run only, so that no real instance's file is touched.
  uint32_t uid = 0x7E000000u | (static_cast<uint32_t>(getpid()) & 0xFFFFFF);
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08X", uid);
  std::string connectionPath = std::string("/tmp/korvel_connection_") + hex + ".json";
  SavedFile connectionFile(connectionPath), activeUID("/tmp/korvel_active_uid.txt"),
      activeTrack("/tmp/korvel_active_track.txt"), notification("/tmp/.notify/com.tolvane.trackChanged");
  WriteFile(connectionPath, R"j({"pluginVersion":"2.0 (7)","status":"disconnected","uid":)j" + std::to_string(uid) + "}");

  TolvaneProcess tolvane(home.path(), {"--session", TOLVANE_EXAMPLE_SESSION, "run"});
  ASSERT_TRUE(tolvane.waitForLine("ready"));

  MIDIClientRef client = 0;
  ASSERT_EQ(MIDIClientCreateWithBlock("KorvelV2AU", &client, nullptr), 0);
  MIDIPortRef port = 0;
  ASSERT_EQ(MIDIOutputPortCreate(client, "KorvelV2Out", &port), 0);
  MIDIEndpointRef companion = 0;
  ASSERT_TRUE(WaitUntil([&] {
    for (unsigned long i = 0; i < MIDIGetNumberOfDestinations() && !companion; ++i) {
      int32_t id = 0;
      MIDIObjectGetIntegerProperty(MIDIGetDestination(i), kMIDIPropertyUniqueID, &id);
      if (id == 1414941771) companion = MIDIGetDestination(i);
    }
    return companion != 0;
  })) << "tolvane's destination carries the ID 'TVLK'";

  Packets connect;
  connect.add(Command(uid, 1));
  MIDISend(port, companion, connect.list);
  ASSERT_TRUE(tolvane.waitForLine(std::string("connect UID ") + hex));
  auto file = nlohmann::json::parse(ReadFile(connectionPath), nullptr, false);
  EXPECT_EQ(file["status"], "connected");
  EXPECT_EQ(file["trackName"], "Violins I");
  EXPECT_EQ(file["articulationNotes"], nlohmann::json({24, 25, 26, 27, 28}));
  EXPECT_EQ(file["articulationNames"][3], "Pizzicato");
  EXPECT_EQ(file["pluginVersion"], "2.0 (7)") << "the instance's keys stay";
  EXPECT_EQ(file["uid"], uid);
  EXPECT_EQ(ReadFile("/tmp/korvel_active_uid.txt"), hex) << "the connected instance is on the selected track";

  Packets event;
  auto tag = Header(uid);
  tag.push_back(0xF7);
  event.add(tag).add({0x90, 60, 100});
  MIDISend(port, companion, event.list);
  EXPECT_TRUE(tolvane.waitForLine(std::string("event UID ") + hex + " ch 1 note-on 60 100"));

  tolvane.send("select Celli\nlanguage fr\nstatus\n");
  EXPECT_TRUE(tolvane.waitForLine("selected Celli"));
  EXPECT_EQ(ReadFile("/tmp/korvel_active_uid.txt"), "0") << "nobody is linked to Celli";
  EXPECT_EQ(ReadFile("/tmp/korvel_active_track.txt"), "Celli");
  EXPECT_TRUE(tolvane.waitForLine("language fr"));
  EXPECT_EQ(ReadFile(home.file("Library/Application Support/Tolvane/current_language.txt")), "fr\n");
  EXPECT_TRUE(tolvane.waitForLine(std::string("UID ") + hex + " linked to \"Violins I\" alive"));

  Packets disconnect;
  disconnect.add(Command(uid, 2));
  MIDISend(port, companion, disconnect.list);
  ASSERT_TRUE(tolvane.waitForLine(std::string("disconnect UID ") + hex));
  EXPECT_EQ(nlohmann::json::parse(ReadFile(connectionPath), nullptr, false)["status"], "disconnected");

  tolvane.send("quit\n");
  EXPECT_EQ(tolvane.waitForExit(), 0);
  MIDIClientDispose(client);
}

TEST(Tolvane, OneShotSelectFindsTheLinkInTheConnectionFiles) {
  TempDir home;
  uint32_t uid = 0x7D000000u | (static_cast<uint32_t>(getpid()) & 0xFFFFFF);
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08X", uid);
  std::string connectionPath = std::string("/tmp/korvel_connection_") + hex + ".json";
  SavedFile connectionFile(connectionPath), activeUID("/tmp/korvel_active_uid.txt"),
      activeTrack("/tmp/korvel_active_track.txt"), notification("/tmp/.notify/com.tolvane.trackChanged");
  WriteFile(connectionPath, R"({"status":"connected","trackName":"French Horns","timestamp":4102444800.0})");

  TolvaneProcess tolvane(home.path(), {"--session", TOLVANE_EXAMPLE_SESSION, "select", "French Horns"});
  EXPECT_EQ(tolvane.waitForExit(), 0);
  EXPECT_EQ(ReadFile("/tmp/korvel_active_uid.txt"), hex);
  EXPECT_EQ(ReadFile("/tmp/korvel_active_track.txt"), "French Horns");
  EXPECT_TRUE(std::filesystem::exists("/tmp/.notify/com.tolvane.trackChanged")) << "the change was posted";

  TolvaneProcess unknown(home.path(), {"--session", TOLVANE_EXAMPLE_SESSION, "select", "Tuba"});
  EXPECT_EQ(unknown.waitForExit(), 1);
}

}  // namespace
}  // namespace korvel::test
