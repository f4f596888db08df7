#include "tests/link/LinkFileFixture.h"

#include <filesystem>

#include "link/SharedPaths.h"
#include "platform/Bundle.h"

namespace korvel::test {

void LinkFileTest::SetUp() {
  link::SetSharedFileDirectoryForTesting(shared_.path());
  platform::SetBundlePathForTesting(std::nullopt);
}

void LinkFileTest::TearDown() {
  link::SetSharedFileDirectoryForTesting(std::nullopt);
  platform::SetBundlePathForTesting(std::nullopt);
}

void LinkFileTest::Link(uint32_t uid, bool connected, const std::string& trackName) {
  KR_Store(inst_->uniqueID, uid);
  KR_Store(inst_->isConnected, connected ? 1 : 0);
  KR_SetTrackName(inst_.get(), trackName.data(), trackName.size());
}

std::string LinkFileTest::TrackName() {
  char name[kKorvelTrackNameSize];
  KR_CopyTrackName(inst_.get(), name);
  return name;
}

std::vector<int32_t> LinkFileTest::Notes() {
  int32_t count = KR_Load(inst_->articulationNoteCount);
  std::vector<int32_t> notes;
  for (int32_t i = 0; i < count; ++i) notes.push_back(KR_Load(inst_->articulationNotes[i]));
  return notes;
}

void LinkFileTest::SetNotes(const std::vector<int32_t>& notes) {
  for (size_t i = 0; i < notes.size(); ++i) KR_Store(inst_->articulationNotes[i], notes[i]);
  KR_Store(inst_->articulationNoteCount, static_cast<int32_t>(notes.size()));
}

std::string LinkFileTest::ConnectionPath() const {
  return shared_.file("korvel_connection_" + HexUID(KR_Load(inst_->uniqueID)) + ".json");
}

nlohmann::json LinkFileTest::FileJSON() const {
  return nlohmann::json::parse(ReadFile(ConnectionPath()));
}

void LinkFileTest::UseBundleVersions(const std::string& shortVersion,
                                     const std::string& buildVersion) {
  std::string body;
  if (!shortVersion.empty())
    body += "<key>CFBundleShortVersionString</key><string>" + shortVersion + "</string>";
  if (!buildVersion.empty())
    body += "<key>CFBundleVersion</key><string>" + buildVersion + "</string>";
  std::filesystem::create_directories(bundle_.path() + "/Contents");
  WriteFile(bundle_.path() + "/Contents/Info.plist",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + body +
                "</dict></plist>\n");
  platform::SetBundlePathForTesting(bundle_.path());
}

}  // namespace korvel::test
