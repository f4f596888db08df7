// The editor's tick against a real instance: what it reads from the instance, and what
// the connection file makes it show and pass on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "link/SharedPaths.h"
#include "tests/editor/EditorTestSupport.h"

namespace korvel::test {
namespace {

using editor::KorvelEditorView;
using nlohmann::json;
using Sets = std::vector<std::pair<AudioUnitPropertyID, uint32_t>>;  // id, size

class EditorPoll : public ::testing::Test {
 protected:
  void SetUp() override {
    static uint32_t next = 0x7E57E000;
    uid = ++next;
    instance.setWord(kKorvelProperty_UniqueID, uid);
    view = std::make_unique<KorvelEditorView>(editor::Rect{0, 0, 340, 500}, instance.handle());
    ASSERT_EQ(view->uniqueID(), uid);
  }
  void TearDown() override { view.reset(); }
  void writeConnectionFile(const std::string& text, uint32_t of = 0) {
    WriteFile(link::ConnectionFilePath(of ? of : uid), text);
  }
  // The instance writes its own file ("disconnected"); take it away.
  void removeConnectionFile() { ::unlink(link::ConnectionFilePath(uid).c_str()); }
  // One tick; returns the sets it made.
  Sets tick() {
    instance.sets().clear();
    view->tick();
    Sets out;
    for (const PropertyCall& set : instance.sets()) out.emplace_back(set.id, set.size());
    return out;
  }
  void sendMIDI(uint32_t status, uint32_t data1, uint32_t data2) {
    auto midi = reinterpret_cast<MusicDeviceMIDIEventProc>(
        instance.real()->Lookup(kMusicDeviceMIDIEventSelect));
    midi(instance.real(), status, data1, data2, 0);
  }

  EditorIsolation isolation;
  VirtualDispatchScope dispatch;
  RecordedInstance instance;
  uint32_t uid = 0;
  std::unique_ptr<KorvelEditorView> view;
};

TEST_F(EditorPoll, ALinkInTheFileIsShownAndPassedToTheInstanceAndRelinked) {
  const std::string name =
      "Cordes \xC3\xA9tendues \xE2\x80\x93 \xF0\x9F\x8E\xBB";  // 4-byte UTF-8 too
  writeConnectionFile(json{
      {"status", "connected"},
      {"trackName", name},
      {"articulationNames", {"Legato", "Spiccato"}},
      {"articulationNotes",
       {24, 25}}}.dump());
  // The name goes as its UTF-8 bytes, no terminator.
  EXPECT_EQ(tick(), (Sets{{kKorvelProperty_Connected, 4},
                          {kKorvelProperty_TrackName, name.size()},
                          {kKorvelProperty_ArticulationNotes, 8}}));
  EXPECT_TRUE(view->isConnected());
  EXPECT_EQ(view->trackName(), name);
  EXPECT_EQ(view->articulationNames(), (std::vector<std::string>{"Legato", "Spiccato"}));
  EXPECT_EQ(view->articulationNotes(), (std::vector<int32_t>{24, 25}));
  EXPECT_EQ(instance.getWord(kKorvelProperty_Connected), 1u);
  EXPECT_EQ(instance.trackName(), name);
  EXPECT_EQ(KR_Load(instance.record()->articulationNoteCount), 2);

  // Already linked: the notes go again on every tick, the link itself does not.
  writeConnectionFile(
      json{{"status", "connected"}, {"trackName", "ignored now"}, {"articulationNotes", {30}}}
          .dump());
  EXPECT_EQ(tick(), (Sets{{kKorvelProperty_ArticulationNotes, 4}}));
  EXPECT_EQ(view->trackName(), name);
  EXPECT_EQ(view->articulationNames().size(), 2u);  // no names in the file: kept
  EXPECT_EQ(view->articulationNotes(), (std::vector<int32_t>{30}));

  // Unlinked elsewhere while the file still says connected: linked again; a name that is
  // not a string goes as an empty one.
  instance.setWord(kKorvelProperty_Connected, 0);
  writeConnectionFile(R"({"status":"connected","trackName":7})");
  EXPECT_EQ(tick(), (Sets{{kKorvelProperty_Connected, 4}, {kKorvelProperty_TrackName, 0}}));
  EXPECT_EQ(view->trackName(), "");
  EXPECT_EQ(instance.getWord(kKorvelProperty_Connected), 1u);

  // "disconnected" in the file clears the view and sends nothing.
  writeConnectionFile(R"({"status":"disconnected","trackName":"Keys"})");
  EXPECT_TRUE(tick().empty());
  EXPECT_FALSE(view->isConnected());
  EXPECT_EQ(view->trackName(), "");
  EXPECT_TRUE(view->articulationNames().empty());
  EXPECT_TRUE(view->articulationNotes().empty());
  EXPECT_EQ(instance.getWord(kKorvelProperty_Connected), 1u);
}

TEST_F(EditorPoll, NamesTheInstanceCannotHoldWholeShowWhatItKeeps) {
  std::string kana = "x";  // byte 255 falls inside the 85th kana
  for (int i = 0; i < 99; ++i) kana += "\xE3\x81\x82";
  kana += "yz";
  ASSERT_EQ(kana.size(), 300u);
  const struct {
    std::string inFile, shown;
  } cases[] = {{kana, kana.substr(0, 253)},
               {std::string("Solo\0Bass", 9), "Solo"},
               {std::string("\0Bass", 5), ""}};
  for (const auto& c : cases) {
    instance.setWord(kKorvelProperty_Connected, 0);
    instance.setBytes(kKorvelProperty_TrackName, "", 0);
    removeConnectionFile();
    view->tick();  // not linked: the next poll makes the link again
    writeConnectionFile(json{{"status", "connected"}, {"trackName", c.inFile}}.dump());
    tick();
    tick();
    EXPECT_EQ(view->trackName(), c.shown);
    EXPECT_EQ(instance.trackName(), c.shown);
    // The companion's name stays in its file, whole.
    const json file = json::parse(ReadFile(link::ConnectionFilePath(uid)));
    EXPECT_EQ(file["trackName"], c.inFile);
  }
}

TEST_F(EditorPoll, TwoHundredNotesAreKeptButOnly128Sent) {
  json notes = json::array();
  for (int i = 0; i < 200; ++i) notes.push_back(i % 2 ? json(i) : json(std::to_string(i)));
  notes[150] = nullptr;  // no integer value
  writeConnectionFile(json{{"status", "connected"}, {"articulationNotes", notes}}.dump());
  const Sets sets = tick();
  ASSERT_EQ(view->articulationNotes().size(), 200u);
  EXPECT_EQ(view->articulationNotes()[199], 199);
  EXPECT_EQ(view->articulationNotes()[150], 0);
  ASSERT_FALSE(sets.empty());
  EXPECT_EQ(sets.back(), (Sets::value_type{kKorvelProperty_ArticulationNotes, 512}));
  EXPECT_EQ(KR_Load(instance.record()->articulationNoteCount), 128);
  EXPECT_EQ(KR_Load(instance.record()->articulationNotes[127]), 127);
  EXPECT_EQ(KR_Load(instance.record()->articulationNotes[126]), 126);
}

TEST_F(EditorPoll, EmptyOrMistypedListsKeepTheOldOnes) {
  writeConnectionFile(
      R"({"status":"connected","articulationNames":["A",5,"C"],"articulationNotes":[1,2,3]})");
  tick();
  const std::vector<std::string> names{"A", "", "C"};
  EXPECT_EQ(view->articulationNames(), names);
  for (const char* lists :
       {R"("articulationNames":[],"articulationNotes":[])",
        R"("articulationNames":"A","articulationNotes":{"0":1})", R"("articulationNames":null)"}) {
    writeConnectionFile(std::string(R"({"status":"connected",)") + lists + "}");
    EXPECT_TRUE(tick().empty()) << lists;
    EXPECT_EQ(view->articulationNames(), names) << lists;
    EXPECT_EQ(view->articulationNotes(), (std::vector<int32_t>{1, 2, 3})) << lists;
  }
}

TEST_F(EditorPoll, UnusableFilesChangeNothing) {
  auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  const std::string bad[] = {
      R"({"status":"pending","trackName":"X"})",
      R"({"status":1,"trackName":"X"})",
      R"({"trackName":"X"})",
      R"(["connected"])",
      R"({"status":"connected",)",
      R"({"status":"connected","deep":)" + nested(65) + "}",
      "",
  };
  for (const std::string& text : bad) {
    writeConnectionFile(text);
    EXPECT_TRUE(tick().empty()) << text;
    EXPECT_FALSE(view->isConnected()) << text;
    EXPECT_EQ(view->trackName(), "") << text;
  }
  // A symbolic link at the file's place is not followed.
  const std::string target = isolation.files.file("elsewhere.json");
  WriteFile(target, R"({"status":"connected","trackName":"X"})");
  removeConnectionFile();
  ASSERT_EQ(::symlink(target.c_str(), link::ConnectionFilePath(uid).c_str()), 0);
  EXPECT_TRUE(tick().empty());
  EXPECT_FALSE(view->isConnected());

  // Nesting up to the limit is still a document.
  removeConnectionFile();
  writeConnectionFile(R"({"status":"connected","deep":)" + nested(63) + "}");
  tick();
  EXPECT_TRUE(view->isConnected());
}

TEST_F(EditorPoll, TickCopiesTheInstancesLiveState) {
  const int32_t keyswitch = 36;
  instance.setBytes(kKorvelProperty_ArticulationNotes, &keyswitch, sizeof keyswitch);
  sendMIDI(0xB2, 7, 100);  // channel 3
  sendMIDI(0xB9, 7, 20);   // channel 10
  sendMIDI(0x90, 60, 99);  // velocity
  sendMIDI(0x90, keyswitch, 50);
  instance.setWord(kKorvelProperty_ActiveTrack, 1);
  instance.setBytes(kKorvelProperty_TrackName, "Strings", 7);
  removeConnectionFile();  // its "disconnected" would clear the name shown
  EXPECT_TRUE(tick().empty());

  editor::EditorViewProbe probe{*view};
  EXPECT_EQ(probe.ccValues()[2][7], 100);
  EXPECT_EQ(probe.ccValues()[9][7], 20);
  EXPECT_NE(probe.ccTriggered()[7], 0);
  EXPECT_EQ(probe.ccTriggered()[8], 0);
  EXPECT_EQ(probe.lastVelocity(), 99);
  EXPECT_EQ(probe.activeArticulation(), keyswitch);
  EXPECT_TRUE(view->isActiveTrack());
  EXPECT_FALSE(view->isConnected());
  EXPECT_EQ(view->trackName(), "Strings");

  // An empty name keeps the one shown; bytes that are not UTF-8 leave no name.
  instance.setBytes(kKorvelProperty_TrackName, "", 0);
  tick();
  EXPECT_EQ(view->trackName(), "Strings");
  instance.setBytes(kKorvelProperty_TrackName, "Str\xC3(ngs", 8);
  removeConnectionFile();
  tick();
  EXPECT_EQ(view->trackName(), "");

  // A new UID is followed, and so is its connection file.
  const uint32_t other = uid ^ 0x00F00000;
  instance.setWord(kKorvelProperty_UniqueID, other);
  writeConnectionFile(R"({"status":"connected","trackName":"Other"})", other);
  tick();
  EXPECT_EQ(view->uniqueID(), other);
  EXPECT_TRUE(view->isConnected());
}

TEST_F(EditorPoll, WithoutAnInstanceOnlyTheFileOfUIDZeroIsRead) {
  KorvelEditorView alone{editor::Rect{0, 0, 340, 500}, nullptr};
  WriteFile(link::ConnectionFilePath(0),
            R"({"status":"connected","trackName":"Solo","articulationNotes":[1,2]})");
  alone.tick();
  EXPECT_EQ(alone.uniqueID(), 0u);
  EXPECT_TRUE(alone.isConnected());
  EXPECT_EQ(alone.trackName(), "Solo");
  EXPECT_EQ(alone.articulationNotes().size(), 2u);
}

}  // namespace
}  // namespace korvel::test
