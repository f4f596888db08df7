// The real tolvane program, driven as the plug-in drives it: MIDI through a private JACK
// server, lines written to its standard input and read from its standard output.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "interface/CompanionProtocol.h"
#include "platform/MIDIPacketList.h"
#include "platform/MIDIServices.h"
#include "tests/support/TestSupport.h"

namespace korvel::test {
namespace {

// Keeps the fixed files the test touches as they were found.
class SavedFile {
 public:
  explicit SavedFile(std::string path) : path_(std::move(path)) {
    if (std::filesystem::exists(path_)) before_ = ReadFile(path_);
  }
  ~SavedFile() {
    std::filesystem::remove(path_);
    if (before_) WriteFile(path_, *before_);
  }

 private:
  std::string path_;
  std::optional<std::string> before_;
};

// A connection file of this test run only, so that no real instance's file is touched,
// with the other fixed files the companion writes kept as they were found.
struct TestUID {
  explicit TestUID(uint32_t top) : uid(top | (static_cast<uint32_t>(getpid()) & 0xFFFFFF)) {
    std::snprintf(hex, sizeof hex, "%08X", uid);
  }
  uint32_t uid;
  char hex[9];
  std::string path = ConnectionFilePath(uid);
  SavedFile saved[4] = {SavedFile(path), SavedFile(kActiveUIDPath), SavedFile(kActiveTrackPath),
                        SavedFile("/tmp/.notify/com.tolvane.trackChanged")};
};

// A packet list with one link message: the UID's header, then `command` (none: a tag)
// and the end of the SysEx; then `event` if given.
struct LinkPackets {
  alignas(8) uint8_t bytes[256];
  MIDIPacketList* list = reinterpret_cast<MIDIPacketList*>(bytes);
  LinkPackets(uint32_t uid, std::optional<uint8_t> command, std::vector<uint8_t> event = {}) {
    std::vector<uint8_t> sysex{0xF0, 0x7D};
    for (int shift : {28, 21, 14, 7, 0}) sysex.push_back(static_cast<uint8_t>((uid >> shift) & 0x7F));
    if (command) sysex.push_back(*command);
    sysex.push_back(0xF7);
    MIDIPacket* p = MIDIPacketListAdd(list, sizeof bytes, MIDIPacketListInit(list), 0, sysex.size(), sysex.data());
    if (!event.empty()) MIDIPacketListAdd(list, sizeof bytes, p, 0, event.size(), event.data());
  }
};

TEST(Tolvane, AnswersAConnectRequestByWritingTheConnectionFile) {
  PrivateJackServer server;
  ASSERT_TRUE(server.running());
  TempDir home;
  TestUID test(0x7E000000u);
  const std::string hex = test.hex;
  WriteFile(test.path, R"j({"pluginVersion":"2.0 (7)","status":"disconnected","uid":)j" + std::to_string(test.uid) + "}");

  ChildProcess tolvane({TOLVANE_PATH, "--session", TOLVANE_EXAMPLE_SESSION, "run"}, {{"HOME", home.path()}});
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
      if (id == korvel::link::kCompanionDestinationID) companion = MIDIGetDestination(i);
    }
    return companion != 0;
  })) << "tolvane's destination carries the ID 'TVLK'";

  MIDISend(port, companion, LinkPackets(test.uid, 1).list);
  ASSERT_TRUE(tolvane.waitForLine("connect UID " + hex));
  auto file = nlohmann::json::parse(ReadFile(test.path), nullptr, false);
  EXPECT_EQ(file["status"], "connected");
  EXPECT_EQ(file["trackName"], "Violins I");
  EXPECT_EQ(file["articulationNotes"], nlohmann::json({24, 25, 26, 27, 28}));
  EXPECT_EQ(file["articulationNames"][3], "Pizzicato");
  EXPECT_EQ(file["pluginVersion"], "2.0 (7)") << "the instance's keys stay";
  EXPECT_EQ(file["uid"], test.uid);
  EXPECT_EQ(ReadFile(kActiveUIDPath), hex) << "the connected instance is on the selected track";

  MIDISend(port, companion, LinkPackets(test.uid, std::nullopt, {0x90, 60, 100}).list);
  EXPECT_TRUE(tolvane.waitForLine("event UID " + hex + " ch 1 note-on 60 100"));

  tolvane.send("select Celli\nlanguage fr\nstatus\n");
  EXPECT_TRUE(tolvane.waitForLine("selected Celli"));
  EXPECT_EQ(ReadFile(kActiveUIDPath), "0") << "nobody is linked to Celli";
  EXPECT_EQ(ReadFile(kActiveTrackPath), "Celli");
  EXPECT_TRUE(tolvane.waitForLine("language fr"));
  EXPECT_EQ(ReadFile(home.file("Library/Application Support/Tolvane/current_language.txt")), "fr\n");
  EXPECT_TRUE(tolvane.waitForLine("UID " + hex + " linked to \"Violins I\" alive"));

  MIDISend(port, companion, LinkPackets(test.uid, 2).list);
  ASSERT_TRUE(tolvane.waitForLine("disconnect UID " + hex));
  EXPECT_EQ(nlohmann::json::parse(ReadFile(test.path), nullptr, false)["status"], "disconnected");

  tolvane.send("quit\n");
  EXPECT_EQ(tolvane.waitForExit(), 0);
  MIDIClientDispose(client);
}

TEST(Tolvane, OneShotSelectFindsTheLinkInTheConnectionFiles) {
  TempDir home;
  TestUID test(0x7D000000u);
  WriteFile(test.path, R"({"status":"connected","trackName":"French Horns","timestamp":4102444800.0})");
  ChildProcess tolvane({TOLVANE_PATH, "--session", TOLVANE_EXAMPLE_SESSION, "select", "French Horns"},
                      {{"HOME", home.path()}});
  EXPECT_EQ(tolvane.waitForExit(), 0);
  EXPECT_EQ(ReadFile(kActiveUIDPath), test.hex);
  EXPECT_EQ(ReadFile(kActiveTrackPath), "French Horns");
  EXPECT_TRUE(std::filesystem::exists("/tmp/.notify/com.tolvane.trackChanged")) << "the change was posted";

  ChildProcess unknown({TOLVANE_PATH, "--session", TOLVANE_EXAMPLE_SESSION, "select", "Tuba"}, {{"HOME", home.path()}});
  EXPECT_EQ(unknown.waitForExit(), 1);
}

}  // namespace
}  // namespace korvel::test
