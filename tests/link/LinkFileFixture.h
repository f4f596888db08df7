// A record and a private directory in place of /tmp for the tests of the shared files.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "component/KorvelComponent.h"
#include "identity/UIDRegistry.h"
#include "link/CompanionLink.h"
#include "tests/support/TestSupport.h"

namespace korvel::test {

class LinkFileTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // An opened-looking instance: UID, link flag and track name as given.
  void Link(uint32_t uid, bool connected, const std::string& trackName);
  std::string TrackName();
  bool Connected() { return KR_Load(inst_->isConnected) != 0; }
  bool Active() { return KR_Load(inst_->isActiveTrack) != 0; }
  std::vector<int32_t> Notes();
  void SetNotes(const std::vector<int32_t>& notes);

  std::string ConnectionPath() const;
  std::string ActiveUIDPath() const { return shared_.file("korvel_active_uid.txt"); }
  std::string ActiveTrackPath() const { return shared_.file("korvel_active_track.txt"); }
  nlohmann::json FileJSON() const;

  // Points the bundle lookup at a bundle whose Info.plist has these versions
  // (an empty one is left out of the plist).
  void UseBundleVersions(const std::string& shortVersion, const std::string& buildVersion);

  TempDir shared_;
  TempDir bundle_;
  std::unique_ptr<KorvelInstance> inst_ = std::make_unique<KorvelInstance>();
};

}  // namespace korvel::test
