#include <gtest/gtest.h>

#include <set>

#include "interface/CompanionProtocol.h"
#include "tests/component/ComponentTestSupport.h"

using korvel::test::BareRecord;

namespace {

std::vector<uint8_t> Header(KorvelInstance* inst) {
  return {inst->sysexHeader, inst->sysexHeader + 7};
}

TEST(UIDRegistry, FreshUIDsAreNonZeroUniqueRegisteredAndInTheHeader) {
  std::vector<std::unique_ptr<BareRecord>> records;
  std::set<uint32_t> seen;
  for (int i = 0; i < 200; ++i) {
    KorvelInstance* inst = records.emplace_back(std::make_unique<BareRecord>())->get();
    uint32_t uid = KR_AssignFreshUID(inst);
    ASSERT_NE(uid, 0u);
    EXPECT_EQ(KR_Load(inst->uniqueID), uid);
    EXPECT_EQ(KR_UIDOwner(uid), inst);
    EXPECT_TRUE(seen.insert(uid).second);
    uint8_t copy[7];
    KR_CopySysExHeader(inst, copy);
    EXPECT_EQ(korvel::link::DecodeUID(copy + 2), uid);
  }
  // A second fresh UID gives the first one back to the registry.
  KorvelInstance* first = records.front()->get();
  uint32_t old = KR_Load(first->uniqueID);
  EXPECT_NE(KR_AssignFreshUID(first), old);
  EXPECT_EQ(KR_UIDOwner(old), nullptr);
  for (auto& r : records) KR_ReleaseUID(r->get(), KR_Load((*r)->uniqueID));
  EXPECT_EQ(KR_AssignFreshUID(nullptr), 0u);

  BareRecord top;
  ASSERT_TRUE(KR_SetUniqueIDKeepingRegistry(top.get(), 0xFFFFFFFF));
  EXPECT_EQ(Header(top.get()), (std::vector<uint8_t>{0xF0, 0x7D, 0x0F, 0x7F, 0x7F, 0x7F, 0x7F}));
  KR_ReleaseUID(top.get(), 0xFFFFFFFF);
}

TEST(UIDRegistry, TwoInstancesContestingOneSavedUID) {
  BareRecord a, b, none;
  uint32_t uidB = KR_AssignFreshUID(b.get());
  const uint32_t saved = 0x80000001;
  EXPECT_TRUE(KR_SetUniqueIDKeepingRegistry(a.get(), saved));  // a had UID 0: it simply claims
  EXPECT_FALSE(KR_SetUniqueIDKeepingRegistry(b.get(), saved));
  EXPECT_EQ(KR_Load(b->uniqueID), uidB);  // b keeps what it had, and still owns it
  EXPECT_EQ(KR_UIDOwner(uidB), b.get());
  EXPECT_EQ(KR_UIDOwner(saved), a.get());
  EXPECT_EQ(b->sysexHeader[6], uidB & 0x7F);
  EXPECT_TRUE(KR_SetUniqueIDKeepingRegistry(a.get(), saved));  // again: true, unchanged
  EXPECT_EQ(KR_Load(a->uniqueID), saved);
  // One without a UID that loses keeps 0, and cannot claim either.
  EXPECT_FALSE(KR_SetUniqueIDKeepingRegistry(none.get(), saved));
  EXPECT_EQ(KR_Load(none->uniqueID), 0u);
  EXPECT_FALSE(KR_ClaimUID(none.get(), saved));
  EXPECT_TRUE(KR_ClaimUID(a.get(), saved));

  // Release by a non-owner leaves the owner's entry alone.
  KR_ReleaseUID(b.get(), saved);
  EXPECT_EQ(KR_UIDOwner(saved), a.get());
  // UID 0 is refused and changes nothing.
  EXPECT_FALSE(KR_SetUniqueIDKeepingRegistry(a.get(), 0));
  EXPECT_EQ(KR_Load(a->uniqueID), saved);
  KR_ReleaseUID(a.get(), 0);
  // After the owner lets go, the other can claim it.
  KR_ReleaseUID(a.get(), saved);
  EXPECT_TRUE(KR_SetUniqueIDKeepingRegistry(b.get(), saved));
  EXPECT_EQ(KR_UIDOwner(uidB), nullptr);  // the swap released the old UID
  KR_ReleaseUID(b.get(), saved);
}

}  // namespace
