#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "component/SavedState.h"
#include "platform/PropertyList.h"
#include "tests/component/ComponentTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using korvel::platform::IntegerValue;
using korvel::platform::PlistPtr;
using korvel::platform::StringValue;
using korvel::test::BareRecord;

std::string TrackName(KorvelInstance* inst) {
  char name[kKorvelTrackNameSize];
  KR_CopyTrackName(inst, name);
  return name;
}

// Every row of the property table: declared size and writability, and whether a get and
// a set are accepted, with buffers exactly the declared size.
TEST(Properties, EveryRowAnswersAsDeclared) {
  struct Expected {
    uint32_t size;
    bool writable, gettable, settable;
  };
  const std::map<uint32_t, Expected> table = {
      {0, {8, true, true, true}},          {8, {40, true, true, true}},         {11, {4, false, true, false}},
      {13, {4, false, true, false}},       {14, {4, true, true, true}},         {27, {40, true, false, true}},
      {36, {16, true, true, true}},        {47, {8, false, true, false}},       {48, {16, true, false, true}},
      {65001, {2048, false, true, false}}, {65002, {4, true, true, true}},      {65003, {4, true, true, true}},
      {65004, {256, true, true, true}},    {65005, {4, false, true, false}},    {65006, {4, false, true, false}},
      {65008, {512, true, false, true}},   {65009, {1028, false, true, false}}, {65010, {4, true, true, true}},
      {65011, {4, true, false, true}},     {65012, {128, false, true, false}},
  };
  BareRecord rec;
  KR_AssignFreshUID(rec.get());
  for (const auto& [id, want] : table) {
    SCOPED_TRACE(id);
    uint32_t size = 0;
    Boolean writable = 9;
    ASSERT_EQ(KR_GetPropertyInfo(rec.get(), id, 0, 0, &size, &writable), 0);
    EXPECT_EQ(size, want.size);
    EXPECT_EQ(writable != 0, want.writable);
    EXPECT_EQ(KR_GetPropertyInfo(rec.get(), id, 0, 0, nullptr, nullptr), 0);
    std::vector<uint8_t> data(want.size + 16, 0);
    uint32_t io = want.size;
    OSStatus got = KR_GetProperty(rec.get(), id, 0, 0, data.data(), &io);
    EXPECT_EQ(got == 0, want.gettable);
    if (got == 0) {
      if (id != 0) {
        EXPECT_LE(io, want.size);
      }
      // The host owns the property-list objects it is handed.
      plist_t node = nullptr;
      if (id == 0 || id == 47 || id == 36) std::memcpy(&node, data.data() + (id == 36 ? 8 : 0), 8);
      if (node) plist_free(node);
    }
    if (!want.settable) {
      EXPECT_EQ(KR_SetProperty(rec.get(), id, 0, 0, data.data(), want.size), kAudioUnitErr_InvalidProperty);
    }
  }
  uint32_t anything = 0;
  EXPECT_EQ(KR_SetProperty(rec.get(), kAudioUnitProperty_SetRenderCallback, 0, 0, &anything, 4), 0);
  KR_ReleaseUID(rec.get(), KR_Load(rec->uniqueID));
}

TEST(Properties, UnknownRowsWrongScopesSmallBuffersAndNullDataAreRefusedWithoutTouchingAnything) {
  BareRecord rec;
  std::vector<uint8_t> data(2047, 0xAB);
  for (auto [id, scope] : {std::pair{65007u, 0u}, {65000u, 0u}, {65013u, 0u}, {1u, 0u}, {23u, 0u},
                           {kAudioUnitProperty_CocoaUI, 1u}, {kAudioUnitProperty_CocoaUI, 2u}}) {
    SCOPED_TRACE(testing::Message() << id << " in scope " << scope);
    uint32_t size, io = 64;
    EXPECT_EQ(KR_GetPropertyInfo(rec.get(), id, scope, 0, &size, nullptr), kAudioUnitErr_InvalidProperty);
    EXPECT_EQ(KR_GetProperty(rec.get(), id, scope, 0, data.data(), &io), kAudioUnitErr_InvalidProperty);
    if (id != 23 && id != kAudioUnitProperty_CocoaUI) {
      EXPECT_EQ(KR_SetProperty(rec.get(), id, scope, 0, data.data(), 4), kAudioUnitErr_InvalidProperty);
    }
  }

  rec.send(0xB0, 1, 99);
  uint32_t io = 2047;
  EXPECT_EQ(KR_GetProperty(rec.get(), kKorvelProperty_CCValues, 0, 0, data.data(), &io), kAudioUnitErr_InvalidProperty);
  EXPECT_EQ(io, 2047u);
  EXPECT_EQ(data[1], 0xAB);
  EXPECT_EQ(KR_GetProperty(rec.get(), kKorvelProperty_UniqueID, 0, 0, nullptr, &io), kAudioUnitErr_InvalidProperty);
  EXPECT_EQ(KR_GetProperty(rec.get(), kKorvelProperty_UniqueID, 0, 0, data.data(), nullptr), kAudioUnitErr_InvalidProperty);
  KR_SetTrackName(rec.get(), "Strings", 7);
  EXPECT_EQ(KR_SetProperty(rec.get(), kKorvelProperty_TrackName, 0, 0, nullptr, 10), kAudioUnitErr_InvalidProperty);
  EXPECT_EQ(KR_SetProperty(rec.get(), 0, 0, 0, nullptr, 8), kAudioUnitErr_InvalidProperty);
  EXPECT_EQ(TrackName(rec.get()), "Strings");
}

TEST(Properties, ObjectsHandedToTheHostAndTheStreamFormat) {
  BareRecord rec;
  AUPreset preset;
  uint32_t io = sizeof preset;
  ASSERT_EQ(KR_GetProperty(rec.get(), kAudioUnitProperty_PresentPreset, 0, 0, &preset, &io), 0);
  EXPECT_EQ(preset.presetNumber, -1);
  EXPECT_EQ(StringValue(preset.presetName), "Korvel");
  plist_free(preset.presetName);
  plist_t names = nullptr;
  io = 8;
  ASSERT_EQ(KR_GetProperty(rec.get(), kAudioUnitProperty_MIDIOutputCallbackInfo, 0, 0, &names, &io), 0);
  ASSERT_EQ(plist_array_get_size(names), 1u);
  EXPECT_EQ(StringValue(plist_array_get_item(names, 0)), "MIDI Out");
  plist_free(names);

  AudioStreamBasicDescription format{}, now{};
  format.mSampleRate = 96000;
  EXPECT_EQ(KR_SetProperty(rec.get(), kAudioUnitProperty_StreamFormat, 0, 0, &format, 39), 0);  // too short: ignored
  io = 40;
  KR_GetProperty(rec.get(), kAudioUnitProperty_StreamFormat, 0, 0, &now, &io);
  EXPECT_EQ(now.mSampleRate, 0.0);  // a bare record has no format yet
  EXPECT_EQ(KR_SetProperty(rec.get(), kAudioUnitProperty_StreamFormat, 0, 0, &format, 40), 0);
  KR_GetProperty(rec.get(), kAudioUnitProperty_StreamFormat, 0, 0, &now, &io);
  EXPECT_EQ(now.mSampleRate, 96000.0);
}

TEST(Properties, TrackNameArticulationNotesCommandAndPendingEventsBoundaries) {
  BareRecord rec;  // UID 0: the connection-file writes that follow do nothing
  std::string longName(300, 'x');
  ASSERT_EQ(KR_SetProperty(rec.get(), kKorvelProperty_TrackName, 0, 0, longName.data(), 300), 0);
  char name[256];
  uint32_t io = 256;
  ASSERT_EQ(KR_GetProperty(rec.get(), kKorvelProperty_TrackName, 0, 0, name, &io), 0);
  EXPECT_EQ(std::string(name), std::string(255, 'x'));
  ASSERT_EQ(KR_SetProperty(rec.get(), kKorvelProperty_TrackName, 0, 0, "", 0), 0);
  EXPECT_EQ(TrackName(rec.get()), "");

  std::vector<int32_t> notes(150);
  for (int i = 0; i < 150; ++i) notes[i] = i;
  ASSERT_EQ(KR_SetProperty(rec.get(), kKorvelProperty_ArticulationNotes, 0, 0, notes.data(), 600), 0);
  EXPECT_EQ(KR_Load(rec->articulationNoteCount), 128);
  EXPECT_EQ(KR_Load(rec->articulationNotes[127]), 127);
  ASSERT_EQ(KR_SetProperty(rec.get(), kKorvelProperty_ArticulationNotes, 0, 0, notes.data(), 2), 0);
  EXPECT_EQ(KR_Load(rec->articulationNoteCount), 0);
  for (uint32_t command : {0u, 3u, 1u, 2u})  // no MIDI port: nothing can be sent either way
    EXPECT_EQ(KR_SetProperty(rec.get(), kKorvelProperty_CompanionCommand, 0, 0, &command, 4), 0);

  // The pending events come out as a count and four bytes each, once.
  rec.link();
  rec.send(0x90, 60, 100);
  rec.send(0xD2, 7, 0);
  uint8_t data[1028];
  for (const std::vector<uint8_t>& want : {std::vector<uint8_t>{2, 0, 0, 0, 0x90, 60, 100, 3, 0xD2, 7, 0, 2},
                                           std::vector<uint8_t>{0, 0, 0, 0}}) {
    io = sizeof data;
    ASSERT_EQ(KR_GetProperty(rec.get(), kKorvelProperty_PendingEvents, 0, 0, data, &io), 0);
    EXPECT_EQ(std::vector<uint8_t>(data, data + io), want);
  }
}

// --- Saved state ---

class SavedState : public ::testing::Test {
 protected:
  void TearDown() override {
    for (uint32_t uid : written_) std::filesystem::remove(korvel::test::ConnectionFilePath(uid));
  }
  PlistPtr Save(KorvelInstance* inst) {
    plist_t state = nullptr;
    uint32_t io = 8;
    EXPECT_EQ(KR_GetProperty(inst, 0, 0, 0, &state, &io), 0);
    EXPECT_EQ(io, 8u);
    return PlistPtr(state);
  }
  void Restore(KorvelInstance* inst, plist_t state) {
    written_.push_back(KR_Load(inst->uniqueID));
    EXPECT_EQ(KR_SetProperty(inst, 0, 0, 0, &state, 8), 0);
    written_.push_back(KR_Load(inst->uniqueID));
  }
  // A record that claimed `uid` and is connected with `name`.
  void Prepare(BareRecord& rec, uint32_t uid, const std::string& name) {
    ASSERT_TRUE(KR_SetUniqueIDKeepingRegistry(rec.get(), uid));
    KR_Store(rec->isConnected, 1);
    KR_SetTrackName(rec.get(), name.data(), name.size());
  }
  korvel::test::ActiveTrackFilesGuard activeFiles_;
  std::vector<uint32_t> written_;
};

TEST_F(SavedState, CarriesTheStoredKeysWithSigned32BitNumbersAndRoundTrips) {
  PlistPtr state;
  {
    BareRecord first;
    Prepare(first, 0x9ABCDEF0, "Violins \xC3\xA9");
    state = Save(first.get());
    plist_t s = state.get();
    for (auto [key, value] : {std::pair<const char*, int64_t>{"version", 0}, {"type", 0x61756D69},
                              {"subtype", 0x6B727632}, {"manufacturer", 0x546C766E},
                              {"tvUniqueID", static_cast<int32_t>(0x9ABCDEF0)}, {"tvConnected", 1}})
      EXPECT_EQ(IntegerValue(plist_dict_get_item(s, key)), value) << key;
    EXPECT_EQ(StringValue(plist_dict_get_item(s, "name")), "Korvel");
    EXPECT_EQ(StringValue(plist_dict_get_item(s, "tvTrackName")), "Violins \xC3\xA9");
    EXPECT_EQ(plist_dict_get_size(s), 8u);
    // Not valid UTF-8: the name is left out.
    KR_SetTrackName(first.get(), "\xFF\xFE", 2);
    EXPECT_EQ(plist_dict_get_item(Save(first.get()).get(), "tvTrackName"), nullptr);
    KR_ReleaseUID(first.get(), 0x9ABCDEF0);
  }
  // Into a fresh instance after the first has gone.
  BareRecord second;
  KR_AssignFreshUID(second.get());
  Restore(second.get(), state.get());
  EXPECT_EQ(KR_Load(second->uniqueID), 0x9ABCDEF0u);
  EXPECT_TRUE(KR_Load(second->isConnected));
  EXPECT_EQ(TrackName(second.get()), "Violins \xC3\xA9");
  EXPECT_TRUE(std::filesystem::exists(korvel::test::ConnectionFilePath(0x9ABCDEF0)))
      << "connected with a name: the restore wrote the connection file";
  KR_ReleaseUID(second.get(), 0x9ABCDEF0);
}

TEST_F(SavedState, ADuplicateUIDTakesAFreshOneDropsTheLinkAndLogsIt) {
  BareRecord first, second;
  Prepare(first, 0x00C0FFEE, "Celli");
  PlistPtr state = Save(first.get());
  KR_AssignFreshUID(second.get());
  KR_SetTrackName(second.get(), "Old", 3);

  testing::internal::CaptureStderr();
  Restore(second.get(), state.get());
  const std::string log = testing::internal::GetCapturedStderr();
  const uint32_t fresh = KR_Load(second->uniqueID);
  EXPECT_NE(fresh, 0x00C0FFEEu);
  EXPECT_FALSE(KR_Load(second->isConnected));
  EXPECT_EQ(TrackName(second.get()), "");
  char expected[128];
  snprintf(expected, sizeof expected, "Korvel: duplicated UID 00C0FFEE detected, assigned fresh UID %08X\n", fresh);
  EXPECT_EQ(log, expected);
  EXPECT_EQ(KR_UIDOwner(0x00C0FFEE), first.get());
  KR_ReleaseUID(first.get(), 0x00C0FFEE);
  KR_ReleaseUID(second.get(), fresh);
}

TEST_F(SavedState, MissingOrMistypedKeysAndNonDictionaries) {
  BareRecord rec;
  const uint32_t uid = KR_AssignFreshUID(rec.get());
  PlistPtr state(plist_new_dict());
  plist_dict_set_item(state.get(), "tvUniqueID", plist_new_string("12345678"));  // not a number: ignored
  plist_dict_set_item(state.get(), "tvConnected", plist_new_uint(1));
  plist_dict_set_item(state.get(), "tvTrackName", plist_new_string(std::string(300, 'n').c_str()));
  Restore(rec.get(), state.get());
  EXPECT_EQ(KR_Load(rec->uniqueID), uid);
  EXPECT_TRUE(KR_Load(rec->isConnected));
  EXPECT_EQ(TrackName(rec.get()), std::string(255, 'n'));

  PlistPtr array(plist_new_array());
  KR_Store(rec->isActiveTrack, 1);
  Restore(rec.get(), array.get());
  EXPECT_TRUE(KR_Load(rec->isActiveTrack));  // not even the active-track check ran
  KR_ReleaseUID(rec.get(), uid);
}

}  // namespace
