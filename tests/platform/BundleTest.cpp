// The plug-in's bundle and the version information in its Info.plist.
#include "platform/Bundle.h"

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace korvel::platform {
namespace {

using test::TempDir;
using test::WriteFile;

std::string InfoPlist(const std::string& dictBody) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\"><dict>" +
         dictBody + "</dict></plist>\n";
}

class BundleFixture {
 public:
  BundleFixture() { std::filesystem::create_directories(dir_.path() + "/Contents"); }
  void SetInfoPlist(const std::string& text) const {
    WriteFile(dir_.path() + "/Contents/Info.plist", text);
  }
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
};

TEST(Bundle, ATestBinaryIsInNoBundleUnlessToldOtherwise) {
  EXPECT_EQ(OwnBundlePath(), std::nullopt);
  SetBundlePathForTesting("/somewhere/Korvel.component");
  EXPECT_EQ(OwnBundlePath(), "/somewhere/Korvel.component");
  SetBundlePathForTesting(std::nullopt);
  EXPECT_EQ(OwnBundlePath(), std::nullopt);
}

TEST(Bundle, IsTheDirectoryAroundContentsOfTheSharedObject) {
  EXPECT_EQ(BundleOfModule("/usr/lib/audio/Korvel.component/Contents/x86_64-linux/Korvel.so"),
            "/usr/lib/audio/Korvel.component");
  EXPECT_EQ(BundleOfModule("/p/K.component/Contents/./x86_64-linux/../x86_64-linux/Korvel.so"),
            "/p/K.component");
  const std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(BundleOfModule("K.component/Contents/x86_64-linux/Korvel.so"), cwd + "/K.component");

  EXPECT_EQ(BundleOfModule("/work/build/tests/platform/BundleTest"), std::nullopt);
  EXPECT_EQ(BundleOfModule("/p/K.component/Contents/MacOS/Korvel"), std::nullopt);
  EXPECT_EQ(BundleOfModule("/p/K.component/Other/x86_64-linux/Korvel.so"), std::nullopt);
}

TEST(Bundle, ReadsTheBuiltBundlesVersions) {
  BundleVersionInfo info = ReadBundleVersionInfo(KORVEL_TEST_BUNDLE_DIR);
  EXPECT_EQ(info.shortVersion, KORVEL_TEST_SHORT_VERSION);
  EXPECT_EQ(info.buildVersion, KORVEL_TEST_BUILD_VERSION);
  EXPECT_TRUE(info.hasAudioComponents);
  EXPECT_EQ(info.componentVersion, KORVEL_TEST_COMPONENT_VERSION);
}

TEST(Bundle, ComponentVersionFollowsTheFirstAudioComponentsEntry) {
  BundleFixture bundle;
  bundle.SetInfoPlist(InfoPlist(
      "<key>CFBundleShortVersionString</key><string>3.1</string>"
      "<key>AudioComponents</key><array>"
      "<dict><key>name</key><string>first</string></dict>"
      "<dict><key>version</key><integer>7</integer></dict></array>"));
  BundleVersionInfo info = ReadBundleVersionInfo(bundle.path());
  EXPECT_EQ(info.shortVersion, "3.1");
  EXPECT_EQ(info.buildVersion, "");
  EXPECT_TRUE(info.hasAudioComponents);
  EXPECT_EQ(info.componentVersion, 0);

  BundleFixture emptyArray;
  emptyArray.SetInfoPlist(InfoPlist(
      "<key>CFBundleVersion</key><string>77</string><key>AudioComponents</key><array/>"));
  info = ReadBundleVersionInfo(emptyArray.path());
  EXPECT_EQ(info.buildVersion, "77");
  EXPECT_FALSE(info.hasAudioComponents);
  EXPECT_EQ(info.componentVersion, std::nullopt);

  BundleFixture wrongTypes;
  wrongTypes.SetInfoPlist(InfoPlist(
      "<key>CFBundleShortVersionString</key><integer>3</integer>"
      "<key>AudioComponents</key><string>none</string>"));
  info = ReadBundleVersionInfo(wrongTypes.path());
  EXPECT_EQ(info.shortVersion, "");
  EXPECT_FALSE(info.hasAudioComponents);
}

TEST(Bundle, MissingOrBrokenInfoPlistGivesEmptyValues) {
  BundleFixture noPlist;
  BundleVersionInfo info = ReadBundleVersionInfo(noPlist.path());
  EXPECT_EQ(info.shortVersion, "");
  EXPECT_FALSE(info.hasAudioComponents);

  BundleFixture broken;
  broken.SetInfoPlist("<plist><dict><key>CFBundleVersion</key><string>1");
  info = ReadBundleVersionInfo(broken.path());
  EXPECT_EQ(info.buildVersion, "");

  BundleFixture directory;
  std::filesystem::create_directories(directory.path() + "/Contents/Info.plist");
  EXPECT_EQ(ReadBundleVersionInfo(directory.path()).buildVersion, "");
}

TEST(Bundle, SeesAnInfoPlistThatChangedSinceTheLastRead) {
  BundleFixture bundle;
  bundle.SetInfoPlist(InfoPlist("<key>CFBundleVersion</key><string>41</string>"));
  EXPECT_EQ(ReadBundleVersionInfo(bundle.path()).buildVersion, "41");
  bundle.SetInfoPlist(InfoPlist("<key>CFBundleVersion</key><string>42.1</string>"));
  EXPECT_EQ(ReadBundleVersionInfo(bundle.path()).buildVersion, "42.1");

  BundleFixture other;
  other.SetInfoPlist(InfoPlist("<key>CFBundleVersion</key><string>9</string>"));
  EXPECT_EQ(ReadBundleVersionInfo(other.path()).buildVersion, "9");
  EXPECT_EQ(ReadBundleVersionInfo(bundle.path()).buildVersion, "42.1");
}

TEST(Bundle, ConcurrentReadersAgree) {
  BundleFixture a, b;
  a.SetInfoPlist(InfoPlist("<key>CFBundleVersion</key><string>A</string>"));
  b.SetInfoPlist(InfoPlist("<key>CFBundleVersion</key><string>B</string>"));
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        bool useA = (i + t) % 2 == 0;
        auto info = ReadBundleVersionInfo(useA ? a.path() : b.path());
        if (info.buildVersion != (useA ? "A" : "B")) ++wrong;
        if (t == 0) SetBundlePathForTesting(i % 2 ? std::optional<std::string>(a.path()) : std::nullopt);
      }
    });
  }
  for (auto& th : threads) th.join();
  SetBundlePathForTesting(std::nullopt);
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace korvel::platform
