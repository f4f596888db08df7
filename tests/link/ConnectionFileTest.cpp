// The instance's writer and reader of its connection file.
#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <regex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "platform/Dispatch.h"
#include "platform/SafeFile.h"
#include "platform/UnicodeText.h"
#include "tests/link/LinkFileFixture.h"

namespace korvel::test {
namespace {

using nlohmann::json;
using ConnectionFileWriter = LinkFileTest;
using ConnectionFileReader = LinkFileTest;

double Now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

const std::string kTooDeep = std::string(500000, '[') + std::string(500000, ']');

TEST_F(ConnectionFileWriter, WritesItsKeysCompactInSortedOrderAndNothingWithoutANameOrUID) {
  Link(0x1234, true, "");
  KR_WriteConnectionFile(inst_.get());
  Link(0, true, "Strings");
  KR_WriteConnectionFile(inst_.get());
  KR_WriteConnectionFile(nullptr);
  EXPECT_TRUE(std::filesystem::is_empty(shared_.path()));

  UseBundleVersions("2.0", "41");
  Link(0x00A1B2C3, false, "Strings");
  const double before = Now();
  KR_WriteConnectionFile(inst_.get());
  const double after = Now();
  const std::string text = ReadFile(shared_.file("korvel_connection_00A1B2C3.json"));
  std::smatch match;
  ASSERT_TRUE(std::regex_match(
      text, match,
      std::regex(R"re(\{"pluginVersion":"2\.0 \(41\)","protocol":"korvel-v2","schemaVersion":2,)re"
                 R"re("source":"audio-unit","status":"disconnected","timestamp":([-+.0-9eE]+),)re"
                 R"re("trackName":"Strings","uid":10597059\})re")))
      << text;
  const double timestamp = std::stod(match[1]);
  EXPECT_GE(timestamp, before - 0.001);
  EXPECT_LE(timestamp, after + 0.001);
  EXPECT_NE(timestamp, std::floor(timestamp)) << "the time keeps its fraction";

  Link(0xFFFFFFFF, true, "Cello \xC3");
  KR_WriteConnectionFile(inst_.get());
  json file = FileJSON();
  EXPECT_EQ(file["uid"], 4294967295u);
  EXPECT_EQ(file["status"], "connected");
  EXPECT_EQ(file["trackName"], "") << "a name that is not UTF-8 is written empty";
}

TEST_F(ConnectionFileWriter, KeepsEveryKeyItDoesNotOwn) {
  Link(0x42, true, "Winds");
  const std::string companion =
      R"({"Zeta":[1,{"deep":[null,true]}],"articulationNames":["Legato","Pizz"],)"
      R"("articulationNotes":[24,25],"pluginVersion":"1.0","status":"connected",)"
      R"("trackName":"Old","zz-extra":"\u00e9"})";
  WriteFile(ConnectionPath(), companion);
  KR_WriteConnectionFile(inst_.get());
  json before = json::parse(companion), after = FileJSON();
  for (const char* key : {"Zeta", "articulationNames", "articulationNotes", "zz-extra"})
    EXPECT_EQ(after[key], before[key]) << key;
  EXPECT_EQ(after["trackName"], "Winds");
  const std::string text = ReadFile(ConnectionPath());
  EXPECT_LT(text.find("\"Zeta\""), text.find("\"articulationNames\"")) << "byte order";
  EXPECT_LT(text.find("\"uid\""), text.find("\"zz-extra\""));

  // The version comes from whatever the bundle knows; unknown, the file's value stays.
  auto versionAfterWrite = [&] {
    KR_WriteConnectionFile(inst_.get());
    json file = FileJSON();
    return file.contains("pluginVersion") ? file["pluginVersion"].get<std::string>() : "<none>";
  };
  EXPECT_EQ(versionAfterWrite(), "1.0");
  UseBundleVersions("2.0", "");
  EXPECT_EQ(versionAfterWrite(), "2.0");
  UseBundleVersions("", "41");
  EXPECT_EQ(versionAfterWrite(), "41");
  UseBundleVersions("", "");
  EXPECT_EQ(versionAfterWrite(), "41");
  std::filesystem::remove(ConnectionPath());
  EXPECT_EQ(versionAfterWrite(), "<none>");
}

TEST_F(ConnectionFileWriter, ReplacesAnythingThatIsNotAnObject) {
  Link(0x42, true, "Winds");
  for (const std::string& bad :
       {std::string("[1,2,3]"), std::string("\"text\""), std::string("{\"status\":"),
        std::string("not json"), std::string(65, '[') + std::string(65, ']'),
        "{\"x\":" + kTooDeep + "}"}) {
    WriteFile(ConnectionPath(), bad);
    KR_WriteConnectionFile(inst_.get());
    json file = FileJSON();
    ASSERT_TRUE(file.is_object()) << bad.substr(0, 20);
    EXPECT_EQ(file.size(), 7u) << bad.substr(0, 20);
  }
}

TEST_F(ConnectionFileReader, AdoptsStatusAndAUsableNameOfAConnectedFile) {
  Link(0x42, false, "Before");
  for (const char* name :
       {"", R"(,"trackName":"")", R"(,"trackName":17)", R"(,"trackName":null)"}) {
    WriteFile(ConnectionPath(), std::string(R"({"status":"connected")") + name + "}");
    KR_ReadConnectionFile(inst_.get());
    EXPECT_TRUE(Connected());
    EXPECT_EQ(TrackName(), "Before") << name;
  }
  WriteFile(ConnectionPath(), R"({"status":"connected","trackName":"Violins \u00e9"})");
  KR_ReadConnectionFile(inst_.get());
  EXPECT_EQ(TrackName(), "Violins \xC3\xA9");

  // A long name is cut at a character boundary.
  std::string name = "a";
  for (int i = 0; i < 100; ++i) name += "\xE2\x82\xAC";  // 301 bytes
  WriteFile(ConnectionPath(), json{{"status", "connected"}, {"trackName", name}}.dump());
  KR_ReadConnectionFile(inst_.get());
  const std::string stored = TrackName();
  EXPECT_EQ(stored.size(), 1u + 3 * 84);
  EXPECT_EQ(stored, name.substr(0, stored.size()));
  EXPECT_TRUE(IsValidUTF8(stored));
}

TEST_F(ConnectionFileReader, DisconnectedKeepsNameAndNotesAndOnlyTheExactStatusCounts) {
  Link(0x42, true, "Horns");
  SetNotes({36, 37, 38});
  WriteFile(ConnectionPath(), R"({"status":"disconnected","trackName":"Other"})");
  KR_ReadConnectionFile(inst_.get());
  EXPECT_FALSE(Connected());
  EXPECT_EQ(TrackName(), "Horns");
  EXPECT_EQ(Notes(), (std::vector<int32_t>{36, 37, 38}));

  for (const char* status : {R"("Connected")", "1", "true", "null"}) {
    KR_Store(inst_->isConnected, 1);
    WriteFile(ConnectionPath(), std::string(R"({"status":)") + status + "}");
    KR_ReadConnectionFile(inst_.get());
    EXPECT_TRUE(Connected()) << status;
  }
}

TEST_F(ConnectionFileReader, TakesAtMost128NotesAsIntegersAndNeverClearsTheList) {
  Link(0x42, true, "Horns");
  WriteFile(ConnectionPath(),
            R"({"articulationNotes":["60",null,61.9,-3.5," 42abc","x",true,[5],{"a":1},)"
            R"(1e300,-1e300,99999999999,-99999999999,18446744073709551615,"-7","99999999999"]})");
  KR_ReadConnectionFile(inst_.get());
  EXPECT_EQ(Notes(), (std::vector<int32_t>{60, 0, 61, -3, 42, 0, 0, 0, 0, INT32_MAX, INT32_MIN,
                                           INT32_MAX, INT32_MIN, INT32_MAX, -7, INT32_MAX}));

  json notes = json::array();
  for (int i = 0; i < 200; ++i) notes.push_back(i);
  WriteFile(ConnectionPath(),
            json{{"status", "disconnected"}, {"articulationNotes", notes}}.dump());
  KR_ReadConnectionFile(inst_.get());
  std::vector<int32_t> expected(128);
  for (int i = 0; i < 128; ++i) expected[i] = i;
  EXPECT_EQ(Notes(), expected);
  for (const char* keep : {"[]", "{}", "60", "null"}) {
    WriteFile(ConnectionPath(), std::string(R"({"articulationNotes":)") + keep + "}");
    KR_ReadConnectionFile(inst_.get());
    EXPECT_EQ(Notes(), expected) << keep;
  }
  // A shorter list replaces the head only; entries behind it are kept but not counted.
  WriteFile(ConnectionPath(), R"({"articulationNotes":[90,91]})");
  KR_ReadConnectionFile(inst_.get());
  EXPECT_EQ(Notes(), (std::vector<int32_t>{90, 91}));
  EXPECT_EQ(KR_Load(inst_->articulationNotes[2]), 2);
}

TEST_F(ConnectionFileReader, IgnoresFilesThatAreNotAnObjectAndSkipsTheActiveCheck) {
  Link(0x42, false, "Horns");
  WriteFile(ActiveTrackPath(), "Horns");  // would make a connected instance active
  KR_Store(inst_->isActiveTrack, 1);
  const std::string connected = R"({"status":"connected")";
  for (const std::string& bad :
       {std::string(R"([{"status":"connected"}])"), connected,
        connected + R"(,"trackName":"\udc00"})",
        connected + R"(,"x":)" + std::string(64, '[') + std::string(64, ']') + "}",
        connected + R"(,"x":)" + kTooDeep + "}", connected + ",\"trackName\":\"bad \xC3\"}"}) {
    WriteFile(ConnectionPath(), bad);
    KR_ReadConnectionFile(inst_.get());
    EXPECT_FALSE(Connected()) << bad.substr(0, 40);
    EXPECT_TRUE(Active()) << "the active-track check ran for " << bad.substr(0, 40);
  }

  // Sixty-four levels in all are still a document.
  WriteFile(ConnectionPath(),
            connected + R"(,"x":)" + std::string(63, '[') + std::string(63, ']') + "}");
  KR_ReadConnectionFile(inst_.get());
  EXPECT_TRUE(Connected());
  EXPECT_TRUE(Active()) << "connected, and the track-name file names its track";

  std::filesystem::remove(ConnectionPath());
  std::filesystem::remove(ActiveTrackPath());
  KR_ReadConnectionFile(inst_.get());
  EXPECT_TRUE(Active()) << "no file: no active-track check";
  WriteFile(ConnectionPath(), "{}");
  KR_ReadConnectionFile(inst_.get());
  EXPECT_FALSE(Active()) << "a parsed file: checked, and no active-track file exists";
}

TEST_F(ConnectionFileReader, OverlappingReadsAndWritesOfOneInstance) {
  // The timer's queue and the main queue both read; the host's thread writes. Run with
  // the thread sanitizer, this shows that every shared field goes through its guard.
  Link(0x42, true, "Start");
  WriteFile(ActiveUIDPath(), "42");
  WriteFile(ConnectionPath(),
            R"({"status":"connected","trackName":"Horns","articulationNotes":[1,2,3]})");
  std::atomic<bool> stop{false};
  auto reader = [&] {
    while (!stop) KR_ReadConnectionFile(inst_.get());
  };
  std::thread first(reader), second(reader);
  for (int i = 0; i < 100; ++i) KR_WriteConnectionFile(inst_.get());
  stop = true;
  first.join();
  second.join();
  // Which name won depends on the interleaving; the file and the record agree on it.
  KR_ReadConnectionFile(inst_.get());
  EXPECT_EQ(FileJSON()["trackName"], TrackName());
  EXPECT_THAT(TrackName(), ::testing::AnyOf("Start", "Horns"));
  EXPECT_EQ(Notes(), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_TRUE(Active());
  EXPECT_EQ(FileJSON()["articulationNotes"], json::parse("[1,2,3]"));
}

TEST_F(ConnectionFileReader, UnchangedFilesAreNotReadAgainAndEveryChangeIsSeen) {
  using korvel::platform::SharedFileReadCount;
  auto reads = [start = SharedFileReadCount()]() mutable {
    const uint64_t now = SharedFileReadCount(), n = now - start;
    start = now;
    return n;
  };
  const auto inPlace = [](const std::string& path, const std::string& text, bool keepTimes) {
    struct stat before {};
    ::stat(path.c_str(), &before);
    int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, text.data(), text.size(), 0), ssize_t(text.size()));
    const timespec times[2] = {before.st_atim, before.st_mtim};
    if (keepTimes) ::futimens(fd, times);  // only the change time tells
    ::close(fd);
  };
  const auto named = [](const char* name) {
    return R"({"status":"connected","trackName":")" + std::string(name) + "\"}";
  };

  // Written just now: timestamps may be coarser than the writes, so it is read each time.
  Link(0x42, false, "");
  WriteFile(ConnectionPath(), named("Alpha"));
  reads();
  KR_ReadConnectionFile(inst_.get());
  KR_ReadConnectionFile(inst_.get());
  EXPECT_EQ(reads(), 2u);

  korvel::platform::SetSettledClockSkewForTesting(10);
  KorvelInstance other{};
  KR_Store(other.uniqueID, 0x43u);
  KR_Store(other.isConnected, 1);
  WriteFile(ActiveUIDPath(), "42");
  KR_ReadConnectionFile(inst_.get());
  EXPECT_EQ(reads(), 2u) << "the connection file and the active-track file";
  for (int i = 0; i < 3; ++i) {
    KR_Store(inst_->isConnected, 0);
    KR_Store(inst_->isActiveTrack, 0);
    KR_ReadConnectionFile(inst_.get());
    KR_CheckActiveTrack(&other);
    EXPECT_TRUE(Connected() && Active()) << "an unchanged file acts as when it was read";
    EXPECT_FALSE(KR_Load(other.isActiveTrack));
  }
  EXPECT_EQ(reads(), 0u) << "neither file read again, the active one shared between instances";

  struct Change {
    const char* what;
    std::function<void()> make;
    const char* name;
  };
  const std::string path = ConnectionPath(), temp = path + ".new";
  const Change changes[] = {
      {"same size in place", [&] { inPlace(path, named("Bravo"), false); }, "Bravo"},
      {"same size and times but for the change time", [&] { inPlace(path, named("Carla"), true); },
       "Carla"},
      {"renamed over",
       [&] { WriteFile(temp, named("Delta")), ::rename(temp.c_str(), path.c_str()); }, "Delta"},
      {"truncated and rewritten",
       [&] {
         ASSERT_EQ(::truncate(path.c_str(), 0), 0);
         inPlace(path, named("Echo!"), false);
       },
       "Echo!"},
  };
  for (const Change& change : changes) {
    change.make();
    KR_ReadConnectionFile(inst_.get());
    EXPECT_EQ(TrackName(), change.name) << change.what;
    EXPECT_EQ(reads(), 1u) << change.what;
  }
  WriteFile(temp, "43"), ::rename(temp.c_str(), ActiveUIDPath().c_str());
  KR_CheckActiveTrack(inst_.get());
  KR_CheckActiveTrack(&other);
  EXPECT_TRUE(!Active() && KR_Load(other.isActiveTrack));
  EXPECT_EQ(reads(), 1u);
  std::filesystem::remove(ConnectionPath());
  KR_ReadConnectionFile(inst_.get());
  WriteFile(ConnectionPath(), named("Fox"));
  KR_ReadConnectionFile(inst_.get());
  EXPECT_EQ(TrackName(), "Fox") << "a failed read is tried again";

  // The ticks of one wake-up share one look at the active-track file; a change made
  // between two of them shows from the next wake-up on.
  {
    korvel::platform::WakeupScope wakeup;
    KR_CheckActiveTrack(&other);
    WriteFile(temp, "42"), ::rename(temp.c_str(), ActiveUIDPath().c_str());
    KR_CheckActiveTrack(inst_.get());
    EXPECT_TRUE(!Active() && KR_Load(other.isActiveTrack)) << "this wake-up's look";
  }
  reads();
  {
    korvel::platform::WakeupScope wakeup;
    KR_CheckActiveTrack(inst_.get());
    KR_CheckActiveTrack(&other);
    EXPECT_TRUE(Active() && !KR_Load(other.isActiveTrack));
  }
  EXPECT_EQ(reads(), 1u);
  korvel::platform::SetSettledClockSkewForTesting(0);
  KR_FreeConnectionFileCache(&other);
}

}  // namespace
}  // namespace korvel::test
