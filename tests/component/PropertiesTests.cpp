#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "component/SavedState.h"
#include "platform/PropertyList.h"
#include "tests/component/ComponentTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using korvel::platform::IntegerValue;
using korvel::platform::StringValue;
using korvel::test::BareRecord;

struct Expected {
  uint32_t size;
  bool writable;
  bool gettable;
  bool settable;
};

const std::map<uint32_t, Expected> kTable = {
    {0, {8, true, true, true}},          {8, {40, true, true, true}},        {11, {4, false, true, false}},
    {13, {4, false, true, false}},       {14, {4, true, true, true}},        {27, {40, true, false, true}},
    {36, {16, true, true, true}},        {47, {8, false, true, false}},      {48, {16, true, false, true}},
    {65001, {2048, false, true, false}}, {65002, {4, true, true, true}},     {65003, {4, true, true, true}},
    {65004, {256, true, true, true}},    {65005, {4, false, true, false}},   {65006, {4, false, true, false}},
    {65008, {512, true, false, true}},   {65009, {1028, false, true, false}}, {65010, {4, true, true, true}},
    {65011, {4, true, false, true}},     {65012, {128, false, true, false}},
};

void FreeObjectsIn(uint32_t id, uint8_t* data) {
  plist_t node = nullptr;
  if (id == 0 || id == 47) std::memcpy(&node, data, 8);
  if (id == 36) std::memcpy(&node, data + 8, 8);
  if (node) plist_free(node);
}

// Every row of the property table: declared size and writability, and whether a get and
// a set are accepted, with buffers exactly the declared size.
TEST(Properties, EveryRowAnswersAsDeclared) {
  BareRecord rec;
  KR_AssignFreshUID(rec.get());
  for (const auto& [id, want] : kTable) {
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
      FreeObjectsIn(id, data.data());
    }
    // The read-only rows refuse a set; writable rows are exercised one by one below.
    if (!want.settable) {
      EXPECT_EQ(KR_SetProperty(rec.get(), id, 0, 0, data.data(), want.size), kAudioUnitErr_InvalidProperty);
    }
  }
  for (uint32_t id : {65007u, 65000u, 65013u, 1u, 23u}) {
    SCOPED_TRACE(id);
    uint32_t size;
    EXPECT_EQ(KR_GetPropertyInfo(rec.get(), id, 0, 0, &size, nullptr), kAudioUnitErr_InvalidProperty);
    uint8_t data[64];
    uint32_t io = sizeof data;
    EXPECT_EQ(KR_GetProperty(rec.get(), id, 0, 0, data, &io), kAudioUnitErr_InvalidProperty);
    if (id != 23) {
      EXPECT_EQ(KR_SetProperty(rec.get(), id, 0, 0, data, 4), kAudioUnitErr_InvalidProperty);
    }
  }
  uint32_t anything = 0;
  EXPECT_EQ(KR_SetProperty(rec.get(), kAudioUnitProperty_SetRenderCallback, 0, 0, &anything, 4), 0);
  KR_ReleaseUID(rec.get(), KR_Load(rec->uniqueID));
}

TEST(Properties, SmallBuffersAndNullDataAreRefusedWithoutTouchingAnything) {
  BareRecord rec;
  rec.send(0xB0, 1, 99);
  std::vector<uint8_t> data(2047, 0xAB);
  uint32_t io = 2047;
  EXPECT_EQ(KR_GetProperty(rec.get(), kKorvelProperty_CCValues, 0, 0, data.data(), &io), kAudioUnitErr_InvalidProperty);
  EXPECT_EQ(io, 2047u);
  EXPECT_EQ(data[1], 0xAB);
  EXPECT_EQ(KR_GetProperty(rec.get(), kKorvelProperty_UniqueID, 0, 0, nullptr, &io), kAudioUnitErr_InvalidProperty);
  EXPECT_EQ(KR_GetProperty(rec.get(), kKorvelProperty_UniqueID, 0, 0, data.data(), nullptr), kAudioUnitErr_InvalidProperty);
  KR_SetTrackName(rec.get(), "Strings", 7);
  EXPECT_EQ(KR_SetProperty(rec.get(), kKorvelProperty_TrackName, 0, 0, nullptr, 10), kAudioUnitErr_InvalidProperty);
  EXPECT_EQ(KR_SetProperty(rec.get(), 0, 0, 0, nullptr, 8), kAudioUnitErr_InvalidProperty);
  char name[256];
  KR_CopyTrackName(rec.get(), name);
  EXPECT_STREQ(name, "Strings");
}

TEST(Properties, CocoaUIIsOnlyInTheGlobalScope) {
  BareRecord rec;
  for (uint32_t scope : {1u, 2u}) {
    uint32_t size;
    EXPECT_EQ(KR_GetPropertyInfo(rec.get(), kAudioUnitProperty_CocoaUI, scope, 0, &size, nullptr),
              kAudioUnitErr_InvalidProperty);
    AudioUnitCocoaViewInfo info;
    uint32_t io = sizeof info;
    EXPECT_EQ(KR_GetProperty(rec.get(), kAudioUnitProperty_CocoaUI, scope, 0, &info, &io), kAudioUnitErr_InvalidProperty);
  }
}

TEST(Properties, FixedValuesOfTheStandardRows) {
  BareRecord rec;
  uint8_t data[64];
  uint32_t io = 4;
  ASSERT_EQ(KR_GetProperty(rec.get(), kAudioUnitProperty_ElementCount, 2, 0, data, &io), 0);
  EXPECT_EQ(*reinterpret_cast<uint32_t*>(data), 1u);
  io = 4;
  ASSERT_EQ(KR_GetProperty(rec.get(), kAudioUnitProperty_SupportedNumChannels, 0, 0, data, &io), 0);
  EXPECT_EQ(reinterpret_cast<AUChannelInfo*>(data)->inChannels, 1);
  EXPECT_EQ(reinterpret_cast<AUChannelInfo*>(data)->outChannels, 1);
  io = 16;
  ASSERT_EQ(KR_GetProperty(rec.get(), kAudioUnitProperty_PresentPreset, 0, 0, data, &io), 0);
  auto* preset = reinterpret_cast<AUPreset*>(data);
  EXPECT_EQ(preset->presetNumber, -1);
  EXPECT_EQ(StringValue(preset->presetName), "Korvel");
  plist_free(preset->presetName);
  io = 8;
  ASSERT_EQ(KR_GetProperty(rec.get(), kAudioUnitProperty_MIDIOutputCallbackInfo, 0, 0, data, &io), 0);
  plist_t names = *reinterpret_cast<plist_t*>(data);
  ASSERT_EQ(plist_array_get_size(names), 1u);
  EXPECT_EQ(StringValue(plist_array_get_item(names, 0)), "MIDI Out");
  plist_free(names);

  AudioStreamBasicDescription format{};
  format.mSampleRate = 96000;
  EXPECT_EQ(KR_SetProperty(rec.get(), kAudioUnitProperty_StreamFormat, 0, 0, &format, 39), 0);  // too short: ignored
  io = 40;
  AudioStreamBasicDescription now;
  KR_GetProperty(rec.get(), kAudioUnitProperty_StreamFormat, 0, 0, &now, &io);
  EXPECT_EQ(now.mSampleRate, 0.0);  // a bare record has no format yet
  EXPECT_EQ(KR_SetProperty(rec.get(), kAudioUnitProperty_StreamFormat, 0, 0, &format, 40), 0);
  KR_GetProperty(rec.get(), kAudioUnitProperty_StreamFormat, 0, 0, &now, &io);
  EXPECT_EQ(now.mSampleRate, 96000.0);
}

TEST(Properties, TrackNameArticulationNotesAndCommandBoundaries) {
  BareRecord rec;  // UID 0: the connection-file writes that follow do nothing
  std::string longName(300, 'x');
  ASSERT_EQ(KR_SetProperty(rec.get(), kKorvelProperty_TrackName, 0, 0, longName.data(), 300), 0);
  char name[256];
  uint32_t io = 256;
  ASSERT_EQ(KR_GetProperty(rec.get(), kKorvelProperty_TrackName, 0, 0, name, &io), 0);
  EXPECT_EQ(std::string(name), std::string(255, 'x'));
  ASSERT_EQ(KR_SetProperty(rec.get(), kKorvelProperty_TrackName, 0, 0, "", 0), 0);
  KR_GetProperty(rec.get(), kKorvelProperty_TrackName, 0, 0, name, &io);
  EXPECT_EQ(name[0], '\0');

  std::vector<int32_t> notes(150);
  for (int i = 0; i < 150; ++i) notes[i] = i;
  ASSERT_EQ(KR_SetProperty(rec.get(), kKorvelProperty_ArticulationNotes, 0, 0, notes.data(), 600), 0);
  EXPECT_EQ(KR_Load(rec->articulationNoteCount), 128);
  EXPECT_EQ(KR_Load(rec->articulationNotes[127]), 127);
  ASSERT_EQ(KR_SetProperty(rec.get(), kKorvelProperty_ArticulationNotes, 0, 0, notes.data(), 2), 0);
  EXPECT_EQ(KR_Load(rec->articulationNoteCount), 0);

  for (uint32_t command : {0u, 3u, 1u, 2u}) {  // no MIDI port: nothing can be sent either way
    EXPECT_EQ(KR_SetProperty(rec.get(), kKorvelProperty_CompanionCommand, 0, 0, &command, 4), 0);
  }
}

TEST(Properties, DrainingThePendingQueueTwice) {
  BareRecord rec;
  rec.link();
  rec.send(0x90, 60, 100);
  rec.send(0xD2, 7, 0);
  uint8_t data[1028];
  uint32_t io = sizeof data;
  ASSERT_EQ(KR_GetProperty(rec.get(), kKorvelProperty_PendingEvents, 0, 0, data, &io), 0);
  EXPECT_EQ(io, 12u);
  EXPECT_EQ(*reinterpret_cast<uint32_t*>(data), 2u);
  EXPECT_EQ(std::vector<uint8_t>(data + 4, data + 12), (std::vector<uint8_t>{0x90, 60, 100, 3, 0xD2, 7, 0, 2}));
  io = sizeof data;
  ASSERT_EQ(KR_GetProperty(rec.get(), kKorvelProperty_PendingEvents, 0, 0, data, &io), 0);
  EXPECT_EQ(io, 4u);
  EXPECT_EQ(*reinterpret_cast<uint32_t*>(data), 0u);
}

// --- Saved state ---

class SavedState : public ::testing::Test {
 protected:
  void TearDown() override {
    for (uint32_t uid : written_) std::filesystem::remove(korvel::test::ConnectionFilePath(uid));
  }
  plist_t Save(KorvelInstance* inst) {
    plist_t state = nullptr;
    uint32_t io = 8;
    EXPECT_EQ(KR_GetProperty(inst, 0, 0, 0, &state, &io), 0);
    EXPECT_EQ(io, 8u);
    return state;
  }
  void Restore(KorvelInstance* inst, plist_t state) {
    written_.push_back(KR_Load(inst->uniqueID));
    EXPECT_EQ(KR_SetProperty(inst, 0, 0, 0, &state, 8), 0);
    written_.push_back(KR_Load(inst->uniqueID));
  }
  korvel::test::ActiveTrackFilesGuard activeFiles_;
  std::vector<uint32_t> written_;
};

TEST_F(SavedState, CarriesTheStoredKeysWithSigned32BitNumbers) {
  BareRecord rec;
  ASSERT_TRUE(KR_SetUniqueIDKeepingRegistry(rec.get(), 0x9ABCDEF0));
  KR_Store(rec->isConnected, 1);
  KR_SetTrackName(rec.get(), "Violins \xC3\xA9", 10);
  korvel::platform::PlistPtr state(Save(rec.get()));
  plist_t s = state.get();
  EXPECT_EQ(IntegerValue(plist_dict_get_item(s, "version")), 0);
  EXPECT_EQ(IntegerValue(plist_dict_get_item(s, "type")), 0x61756D69);
  EXPECT_EQ(IntegerValue(plist_dict_get_item(s, "subtype")), 0x6B727632);
  EXPECT_EQ(IntegerValue(plist_dict_get_item(s, "manufacturer")), 0x546C766E);
  EXPECT_EQ(StringValue(plist_dict_get_item(s, "name")), "Korvel");
  EXPECT_EQ(IntegerValue(plist_dict_get_item(s, "tvUniqueID")), static_cast<int32_t>(0x9ABCDEF0));
  EXPECT_LT(*IntegerValue(plist_dict_get_item(s, "tvUniqueID")), 0);
  EXPECT_EQ(IntegerValue(plist_dict_get_item(s, "tvConnected")), 1);
  EXPECT_EQ(StringValue(plist_dict_get_item(s, "tvTrackName")), "Violins \xC3\xA9");
  EXPECT_EQ(plist_dict_get_size(s), 8u);

  // Not valid UTF-8, or empty: the name is left out.
  KR_SetTrackName(rec.get(), "\xFF\xFE", 2);
  korvel::platform::PlistPtr bad(Save(rec.get()));
  EXPECT_EQ(plist_dict_get_item(bad.get(), "tvTrackName"), nullptr);
  KR_ReleaseUID(rec.get(), 0x9ABCDEF0);
}

TEST_F(SavedState, RoundTripIntoAFreshInstanceAfterTheFirstHasGone) {
  korvel::platform::PlistPtr state;
  {
    BareRecord first;
    ASSERT_TRUE(KR_SetUniqueIDKeepingRegistry(first.get(), 0xF00DCAFE));
    KR_Store(first->isConnected, 1);
    KR_SetTrackName(first.get(), "Horns", 5);
    state.reset(Save(first.get()));
    KR_ReleaseUID(first.get(), 0xF00DCAFE);
  }
  BareRecord second;
  KR_AssignFreshUID(second.get());
  Restore(second.get(), state.get());
  EXPECT_EQ(KR_Load(second->uniqueID), 0xF00DCAFEu);
  EXPECT_TRUE(KR_Load(second->isConnected));
  char name[256];
  KR_CopyTrackName(second.get(), name);
  EXPECT_STREQ(name, "Horns");
  // Connected with a name: the restore wrote the connection file.
  EXPECT_TRUE(std::filesystem::exists(korvel::test::ConnectionFilePath(0xF00DCAFE)));
  KR_ReleaseUID(second.get(), 0xF00DCAFE);
}

TEST_F(SavedState, ADuplicateUIDTakesAFreshOneDropsTheLinkAndLogsIt) {
  BareRecord first, second;
  ASSERT_TRUE(KR_SetUniqueIDKeepingRegistry(first.get(), 0x00C0FFEE));
  KR_Store(first->isConnected, 1);
  KR_SetTrackName(first.get(), "Celli", 5);
  korvel::platform::PlistPtr state(Save(first.get()));
  KR_AssignFreshUID(second.get());
  KR_SetTrackName(second.get(), "Old", 3);

  testing::internal::CaptureStderr();
  Restore(second.get(), state.get());
  const std::string log = testing::internal::GetCapturedStderr();
  const uint32_t fresh = KR_Load(second->uniqueID);
  EXPECT_NE(fresh, 0x00C0FFEEu);
  EXPECT_FALSE(KR_Load(second->isConnected));
  char name[256];
  KR_CopyTrackName(second.get(), name);
  EXPECT_STREQ(name, "");
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
  korvel::platform::PlistPtr state(plist_new_dict());
  plist_dict_set_item(state.get(), "tvUniqueID", plist_new_string("12345678"));  // not a number: ignored
  plist_dict_set_item(state.get(), "tvConnected", plist_new_uint(1));
  plist_dict_set_item(state.get(), "tvTrackName", plist_new_string(std::string(300, 'n').c_str()));
  Restore(rec.get(), state.get());
  EXPECT_EQ(KR_Load(rec->uniqueID), uid);
  EXPECT_TRUE(KR_Load(rec->isConnected));
  char name[256];
  KR_CopyTrackName(rec.get(), name);
  EXPECT_EQ(std::string(name), std::string(255, 'n'));

  korvel::platform::PlistPtr array(plist_new_array());
  KR_Store(rec->isActiveTrack, 1);
  Restore(rec.get(), array.get());
  EXPECT_TRUE(KR_Load(rec->isActiveTrack));  // not even the active-track check ran
  KR_ReleaseUID(rec.get(), uid);
}

}  // namespace
