// The editor's tick against a real instance: what it reads from the instance, and what
// the connection file makes it show and pass on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "editor/KorvelEditorView.h"
#include "link/SharedPaths.h"
#include "tests/editor/EditorTestSupport.h"
#include "tests/support/TestSupport.h"

namespace korvel::test {
namespace {

using editor::EditorViewProbe;
using editor::KorvelEditorView;
using nlohmann::json;

class EditorPoll : public ::testing::Test {
 protected:
  EditorPoll() { link::SetSharedFileDirectoryForTesting(files.path()); }
  ~EditorPoll() override {
    view.reset();
    link::SetSharedFileDirectoryForTesting(std::nullopt);
  }
  void SetUp() override {
    static uint32_t next = 0x7E57E000;
    uid = ++next;
    instance.setWord(kKorvelProperty_UniqueID, uid);
    ASSERT_EQ(instance.getWord(kKorvelProperty_UniqueID), uid);
    view = std::make_unique<KorvelEditorView>(editor::Rect{0, 0, 340, 500}, instance.handle());
    ASSERT_EQ(view->uniqueID(), uid);
  }
  void writeConnectionFile(const std::string& text) {
    WriteFile(link::ConnectionFilePath(uid), text);
  }
  // One tick; returns the sets it made.
  std::vector<PropertyCall> tick() {
    instance.calls().clear();
    view->tick();
    return instance.sets();
  }
  void sendMIDI(uint32_t status, uint32_t data1, uint32_t data2) {
    auto midi = reinterpret_cast<MusicDeviceMIDIEventProc>(
        instance.real()->Lookup(kMusicDeviceMIDIEventSelect));
    midi(instance.real(), status, data1, data2, 0);
  }

  VirtualDispatchScope dispatch;
  TempDir files;
  RecordedInstance instance;
  uint32_t uid = 0;
  std::unique_ptr<KorvelEditorView> view;
};

TEST_F(EditorPoll, ALinkInTheFileIsShownAndPassedToTheInstance) {
  const std::string name = "Cordes \xC3\xA9tendues \xE2\x80\x93 \xF0\x9F\x8E\xBB";  // 4-byte UTF-8 too
  writeConnectionFile(json{{"status", "connected"},
                           {"trackName", name},
                           {"articulationNames", {"Legato", "Spiccato"}},
                           {"articulationNotes", {24, 25}}}
                          .dump());
  auto sets = tick();
  EXPECT_TRUE(view->isConnected());
  EXPECT_EQ(view->trackName(), name);
  EXPECT_EQ(view->articulationNames(), (std::vector<std::string>{"Legato", "Spiccato"}));
  EXPECT_EQ(view->articulationNotes(), (std::vector<int32_t>{24, 25}));
  ASSERT_EQ(sets.size(), 3u);
  EXPECT_EQ(sets[0].id, kKorvelProperty_Connected);
  EXPECT_EQ(sets[0].valueAsWord(), 1u);
  EXPECT_EQ(sets[1].id, kKorvelProperty_TrackName);
  EXPECT_EQ(sets[1].size, name.size());  // the UTF-8 bytes, no terminator
  EXPECT_EQ(sets[2].id, kKorvelProperty_ArticulationNotes);
  EXPECT_EQ(sets[2].size, 8u);
  EXPECT_EQ(instance.getWord(kKorvelProperty_Connected), 1u);
  EXPECT_EQ(instance.trackName(), name);
  EXPECT_EQ(KR_Load(instance.record()->articulationNoteCount), 2);

  // Already linked: the notes go again on every tick, the link itself does not.
  writeConnectionFile(json{{"status", "connected"},
                           {"trackName", "ignored now"},
                           {"articulationNotes", {30}}}
                          .dump());
  sets = tick();
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].id, kKorvelProperty_ArticulationNotes);
  EXPECT_EQ(view->trackName(), name);
  EXPECT_EQ(view->articulationNames().size(), 2u);  // no names in the file: kept
  EXPECT_EQ(view->articulationNotes(), (std::vector<int32_t>{30}));

  // The instance was unlinked elsewhere; the file still says connected: linked again.
  instance.setWord(kKorvelProperty_Connected, 0);
  writeConnectionFile(json{{"status", "connected"}, {"trackName", "Brass"}}.dump());
  sets = tick();
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[0].id, kKorvelProperty_Connected);
  EXPECT_EQ(view->trackName(), "Brass");
  EXPECT_EQ(instance.trackName(), "Brass");
}

TEST_F(EditorPoll, ConnectedWithoutANameSendsAnEmptyName) {
  instance.setWord(kKorvelProperty_Connected, 0);
  writeConnectionFile(R"({"status":"connected","trackName":7})");
  const auto sets = tick();
  EXPECT_TRUE(view->isConnected());
  EXPECT_EQ(view->trackName(), "");
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[0].id, kKorvelProperty_Connected);
  EXPECT_EQ(sets[1].id, kKorvelProperty_TrackName);
  EXPECT_EQ(sets[1].size, 0u);
  EXPECT_EQ(instance.getWord(kKorvelProperty_Connected), 1u);
}

TEST_F(EditorPoll, TwoHundredNotesAreKeptButOnly128Sent) {
  json notes = json::array();
  for (int i = 0; i < 200; ++i) notes.push_back(i % 2 ? json(i) : json(std::to_string(i)));
  notes[150] = nullptr;  // no integer value
  writeConnectionFile(json{{"status", "connected"}, {"articulationNotes", notes}}.dump());
  const auto sets = tick();
  ASSERT_EQ(view->articulationNotes().size(), 200u);
  EXPECT_EQ(view->articulationNotes()[199], 199);
  EXPECT_EQ(view->articulationNotes()[150], 0);
  ASSERT_FALSE(sets.empty());
  EXPECT_EQ(sets.back().id, kKorvelProperty_ArticulationNotes);
  EXPECT_EQ(sets.back().size, 512u);
  EXPECT_EQ(KR_Load(instance.record()->articulationNoteCount), 128);
  EXPECT_EQ(KR_Load(instance.record()->articulationNotes[127]), 127);
  EXPECT_EQ(KR_Load(instance.record()->articulationNotes[126]), 126);
}

TEST_F(EditorPoll, EmptyOrMistypedListsKeepTheOldOnes) {
  writeConnectionFile(json{{"status", "connected"},
                           {"articulationNames", {"A", 5, "C"}},
                           {"articulationNotes", {1, 2, 3}}}
                          .dump());
  tick();
  const std::vector<std::string> names{"A", "", "C"};
  EXPECT_EQ(view->articulationNames(), names);
  for (const char* lists : {R"("articulationNames":[],"articulationNotes":[])",
                            R"("articulationNames":"A","articulationNotes":{"0":1})",
                            R"("articulationNames":null)"}) {
    writeConnectionFile(std::string(R"({"status":"connected",)") + lists + "}");
    const auto sets = tick();
    EXPECT_TRUE(sets.empty()) << lists;
    EXPECT_EQ(view->articulationNames(), names) << lists;
    EXPECT_EQ(view->articulationNotes(), (std::vector<int32_t>{1, 2, 3})) << lists;
  }
}

TEST_F(EditorPoll, DisconnectedInTheFileOverridesTheInstance) {
  writeConnectionFile(json{{"status", "connected"},
                           {"trackName", "Keys"},
                           {"articulationNames", {"A"}},
                           {"articulationNotes", {1}}}
                          .dump());
  tick();
  writeConnectionFile(R"({"status":"disconnected","trackName":"Keys"})");
  const auto sets = tick();
  EXPECT_TRUE(sets.empty());
  EXPECT_FALSE(view->isConnected());
  EXPECT_EQ(view->trackName(), "");
  EXPECT_TRUE(view->articulationNames().empty());
  EXPECT_TRUE(view->articulationNotes().empty());
  EXPECT_EQ(instance.getWord(kKorvelProperty_Connected), 1u);  // nothing sent
}

TEST_F(EditorPoll, UnusableFilesChangeNothing) {
  std::string deep;
  for (int i = 0; i < 65; ++i) deep += "[";
  for (int i = 0; i < 65; ++i) deep += "]";
  const std::string bad[] = {
      R"({"status":"pending","trackName":"X"})",
      R"({"status":1,"trackName":"X"})",
      R"({"trackName":"X"})",
      R"(["connected"])",
      R"({"status":"connected",)",
      R"({"status":"connected","deep":)" + deep + "}",
      "",
  };
  for (const std::string& text : bad) {
    writeConnectionFile(text);
    const auto sets = tick();
    EXPECT_TRUE(sets.empty()) << text;
    EXPECT_FALSE(view->isConnected()) << text;
    EXPECT_EQ(view->trackName(), "") << text;
  }
  // A symbolic link at the file's place is not followed.
  const std::string target = files.file("elsewhere.json");
  WriteFile(target, R"({"status":"connected","trackName":"X"})");
  ::unlink(link::ConnectionFilePath(uid).c_str());
  ASSERT_EQ(::symlink(target.c_str(), link::ConnectionFilePath(uid).c_str()), 0);
  EXPECT_TRUE(tick().empty());
  EXPECT_FALSE(view->isConnected());

  // Nesting up to the limit is still a document.
  std::string deepest;
  for (int i = 0; i < 63; ++i) deepest += "[";
  for (int i = 0; i < 63; ++i) deepest += "]";
  ::unlink(link::ConnectionFilePath(uid).c_str());
  writeConnectionFile(R"({"status":"connected","deep":)" + deepest + "}");
  tick();
  EXPECT_TRUE(view->isConnected());
}

TEST_F(EditorPoll, TickCopiesTheInstancesLiveState) {
  instance.setWord(kKorvelProperty_UniqueID, uid);
  const int32_t keyswitch = 36;
  AudioUnitSetProperty(instance.real(), kKorvelProperty_ArticulationNotes, kAudioUnitScope_Global, 0,
                       &keyswitch, sizeof keyswitch);
  sendMIDI(0xB2, 7, 100);  // channel 3
  sendMIDI(0xB9, 7, 20);   // channel 10
  sendMIDI(0x90, 60, 99);  // velocity
  sendMIDI(0x90, keyswitch, 50);
  instance.setWord(kKorvelProperty_ActiveTrack, 1);
  const char name[] = "Strings";
  AudioUnitSetProperty(instance.real(), kKorvelProperty_TrackName, kAudioUnitScope_Global, 0, name, 7);
  // The instance has written its file, "disconnected", which would clear the name shown.
  ::unlink(link::ConnectionFilePath(uid).c_str());
  EXPECT_TRUE(tick().empty());

  EditorViewProbe probe{*view};
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
  AudioUnitSetProperty(instance.real(), kKorvelProperty_TrackName, kAudioUnitScope_Global, 0, name, 0);
  tick();
  EXPECT_EQ(view->trackName(), "Strings");
  const char broken[] = "Str\xC3(ngs";
  AudioUnitSetProperty(instance.real(), kKorvelProperty_TrackName, kAudioUnitScope_Global, 0, broken, 8);
  ::unlink(link::ConnectionFilePath(uid).c_str());
  tick();
  EXPECT_EQ(view->trackName(), "");

  // A new UID is followed, and so is its connection file.
  const uint32_t other = uid ^ 0x00F00000;
  instance.setWord(kKorvelProperty_UniqueID, other);
  WriteFile(link::ConnectionFilePath(other), R"({"status":"connected","trackName":"Other"})");
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
