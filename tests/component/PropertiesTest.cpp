#include <gtest/gtest.h>

#include <filesystem>

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

// The declared size, writability and gettability of every row, unknown rows, foreign
// scopes, the objects handed to the host, the stream format, track-name and keyswitch
// limits are all the validator's properties phase. Here: what it does not try.
TEST(Properties, SmallBuffersAndNullDataAreRefusedAndPendingEventsComeOutOnce) {
  BareRecord rec;
  std::vector<uint8_t> data(2047, 0xAB);
  rec.send(0xB0, 1, 99);
  uint32_t io = 2047;
  EXPECT_EQ(KR_GetProperty(rec.get(), kKorvelProperty_CCValues, 0, 0, data.data(), &io),
            kAudioUnitErr_InvalidProperty);
  EXPECT_EQ(io, 2047u);
  EXPECT_EQ(data[1], 0xAB);
  EXPECT_EQ(KR_GetProperty(rec.get(), kKorvelProperty_UniqueID, 0, 0, nullptr, &io),
            kAudioUnitErr_InvalidProperty);
  EXPECT_EQ(KR_GetProperty(rec.get(), kKorvelProperty_UniqueID, 0, 0, data.data(), nullptr),
            kAudioUnitErr_InvalidProperty);
  KR_SetTrackName(rec.get(), "Strings", 7);
  EXPECT_EQ(KR_SetProperty(rec.get(), kKorvelProperty_TrackName, 0, 0, nullptr, 10),
            kAudioUnitErr_InvalidProperty);
  EXPECT_EQ(KR_SetProperty(rec.get(), 0, 0, 0, nullptr, 8), kAudioUnitErr_InvalidProperty);
  EXPECT_EQ(TrackName(rec.get()), "Strings");

  // The pending events come out as a count and four bytes each, once.
  rec.link();
  rec.send(0x90, 60, 100);
  rec.send(0xD2, 7, 0);
  uint8_t drained[1028];
  for (const std::vector<uint8_t>& want :
       {std::vector<uint8_t>{2, 0, 0, 0, 0x90, 60, 100, 3, 0xD2, 7, 0, 2},
        std::vector<uint8_t>{0, 0, 0, 0}}) {
    io = sizeof drained;
    ASSERT_EQ(KR_GetProperty(rec.get(), kKorvelProperty_PendingEvents, 0, 0, drained, &io), 0);
    EXPECT_EQ(std::vector<uint8_t>(drained, drained + io), want);
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
  korvel::test::ActiveTrackFilesGuard activeFiles_;
  std::vector<uint32_t> written_;
};

TEST_F(SavedState, CarriesTheStoredKeysWithSigned32BitNumbersAndRoundTrips) {
  PlistPtr state;
  {
    BareRecord first;
    ASSERT_TRUE(KR_SetUniqueIDKeepingRegistry(first.get(), 0x9ABCDEF0));
    KR_Store(first->isConnected, 1);
    KR_SetTrackName(first.get(), "Violins \xC3\xA9", 10);
    state = Save(first.get());
    // The component's own keys are the validator's saved-state phase.
    plist_t s = state.get();
    EXPECT_EQ(IntegerValue(plist_dict_get_item(s, "tvUniqueID")), static_cast<int32_t>(0x9ABCDEF0));
    EXPECT_EQ(IntegerValue(plist_dict_get_item(s, "tvConnected")), 1);
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

TEST_F(SavedState, MissingOrMistypedKeysAndNonDictionaries) {
  BareRecord rec;
  const uint32_t uid = KR_AssignFreshUID(rec.get());
  PlistPtr state(plist_new_dict());
  plist_dict_set_item(state.get(), "tvUniqueID",
                      plist_new_string("12345678"));  // not a number: ignored
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
