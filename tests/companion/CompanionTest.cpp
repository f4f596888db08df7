#include "companion/Companion.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "link/SharedPaths.h"
#include "tests/support/TestSupport.h"

namespace tolvane {
namespace {

using korvel::link::ActiveTrackFilePath;
using korvel::link::ActiveUIDFilePath;
using korvel::link::ConnectionFilePath;
using korvel::test::ReadFile;
using korvel::test::TempDir;
using korvel::test::WriteFile;

Session ExampleSession() {
  std::string error;
  auto session = ParseSession(R"({
    "selectedTrack": "Violins",
    "tracks": [
      {"name": "Violins", "articulations": [{"note": 24, "name": "Legato"}, {"note": 26, "name": "Pizz"}]},
      {"name": "Horns", "articulations": [{"note": 12, "name": "Sustain"}]},
      {"name": "Piano"}
    ]})",
                              &error);
  EXPECT_TRUE(session) << error;
  return *session;
}

LinkMessage Command(uint32_t uid, LinkCommand command) {
  LinkMessage message;
  message.kind = LinkMessage::Kind::Command;
  message.uid = uid;
  message.command = static_cast<uint8_t>(command);
  return message;
}

// Every shared file goes to a temporary directory; posted notifications are recorded.
class CompanionTest : public ::testing::Test {
 protected:
  CompanionTest() { korvel::link::SetSharedFileDirectoryForTesting(dir.path()); }
  ~CompanionTest() override { korvel::link::SetSharedFileDirectoryForTesting(std::nullopt); }

  nlohmann::json connectionFile(uint32_t uid) {
    return nlohmann::json::parse(ReadFile(ConnectionFilePath(uid)), nullptr, false);
  }

  TempDir dir;
  std::vector<std::string> posted;
  Companion::Clock::time_point now{};
  Companion companion{ExampleSession(),
                      [this](const std::string& n) {
                        posted.push_back(n);
                        return true;
                      },
                      [this] { return now; }};
};

TEST_F(CompanionTest, ConnectWritesTheSelectedTrackAndKeepsTheInstanceKeys) {
  WriteFile(
      ConnectionFilePath(0x00A1B2C3),
      R"j({"pluginVersion":"2.0 (41)","uid":10597059,"status":"disconnected","trackName":"old","x":[1]})j");
  companion.handle(Command(0x00A1B2C3, LinkCommand::Connect));

  std::string text = ReadFile(ConnectionFilePath(0x00A1B2C3));
  EXPECT_EQ(
      text,
      R"j({"articulationNames":["Legato","Pizz"],"articulationNotes":[24,26],"pluginVersion":"2.0 (41)",)j"
      R"("status":"connected","trackName":"Violins","uid":10597059,"x":[1]})")
      << "compact, sorted, every earlier key kept";
  EXPECT_EQ(ReadFile(ActiveUIDFilePath()), "00A1B2C3");
  EXPECT_EQ(ReadFile(ActiveTrackFilePath()), "Violins");
  EXPECT_EQ(posted, std::vector<std::string>{"com.tolvane.trackChanged"});

  companion.handle(Command(0x00A1B2C3, LinkCommand::Disconnect));
  auto after = connectionFile(0x00A1B2C3);
  EXPECT_EQ(after["status"], "disconnected");
  EXPECT_EQ(after["trackName"], "Violins") << "disconnect changes only the status";
  EXPECT_EQ(after["articulationNotes"], nlohmann::json({24, 26}));
  EXPECT_EQ(ReadFile(ActiveUIDFilePath()), "0") << "the active instance left";
}

TEST_F(CompanionTest, AMalformedFileIsReplacedByAFreshObject) {
  WriteFile(ConnectionFilePath(7), "[1,2,3]");
  companion.handle(Command(7, LinkCommand::Connect));
  EXPECT_EQ(connectionFile(7),
            nlohmann::json::parse(
                R"({"articulationNames":["Legato","Pizz"],)"
                R"("articulationNotes":[24,26],"status":"connected","trackName":"Violins"})"));
}

TEST_F(CompanionTest, SelectNamesTheInstanceLinkedToTheTrack) {
  ASSERT_TRUE(companion.select("Horns"));
  companion.handle(Command(0x11, LinkCommand::Connect));  // linked to Horns
  ASSERT_TRUE(companion.select("Violins"));
  EXPECT_EQ(ReadFile(ActiveUIDFilePath()), "0") << "nobody is linked to Violins";
  EXPECT_EQ(ReadFile(ActiveTrackFilePath()), "Violins");
  companion.handle(Command(0x22, LinkCommand::Connect));  // linked to Violins
  ASSERT_TRUE(companion.select("Horns"));
  EXPECT_EQ(ReadFile(ActiveUIDFilePath()), "00000011");
  EXPECT_EQ(companion.linkedUID("Violins"), 0x22u);
  EXPECT_FALSE(companion.select("Tuba"));
  EXPECT_EQ(ReadFile(ActiveTrackFilePath()), "Horns") << "an unknown track changes nothing";
  EXPECT_EQ(posted.size(), 5u) << "every link to the selected track and every select posts";
}

// (A link left by an earlier run is found in the files: the one-shot process test.)
TEST_F(CompanionTest, StatusTellsLiveInstancesFromSilentOnes) {
  companion.handle(Command(0x10, LinkCommand::Heartbeat));
  now += std::chrono::seconds(5);
  companion.handle(Command(0x20, LinkCommand::Connect));
  now += std::chrono::seconds(1);
  auto lines = companion.statusLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "selected Violins active UID 00000020");
  EXPECT_EQ(lines[1], "UID 00000010 not linked silent (last heard 6.0 s ago)");
  EXPECT_EQ(lines[2], "UID 00000020 linked to \"Violins\" alive (last heard 1.0 s ago)");
}

TEST(Session, RejectsWhatItCannotUse) {
  std::string error;
  EXPECT_FALSE(ParseSession("[]", &error));
  EXPECT_FALSE(ParseSession(R"({"tracks":[{"articulations":[]}]})", &error));
  EXPECT_FALSE(ParseSession(R"({"tracks":[{"name":"A","articulations":[{"note":128}]}]})", &error));
  EXPECT_NE(error.find("0..127"), std::string::npos);
  auto example = LoadSession(TOLVANE_EXAMPLE_SESSION, &error);
  ASSERT_TRUE(example) << error;
  EXPECT_NE(example->selected(), nullptr) << "the example's selected track exists";
}

TEST(Language, OnlySupportedCodesAreWritten) {
  TempDir home;
  std::string path = home.file("Library/Application Support/Tolvane/current_language.txt");
  EXPECT_FALSE(WriteLanguage("pt", path));
  EXPECT_TRUE(WriteLanguage("ja", path));
  EXPECT_EQ(ReadFile(path), "ja\n");
}

}  // namespace
}  // namespace tolvane
