// The plug-in's bundle and the version information in its Info.plist.
#include "platform/Bundle.h"

#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace korvel::platform {
namespace {

using test::TempDir;

// A bundle directory whose Contents/Info.plist is a dictionary with `dictBody`.
struct FakeBundle {
  TempDir dir;
  FakeBundle() { std::filesystem::create_directories(dir.path() + "/Contents"); }
  explicit FakeBundle(const std::string& dictBody) : FakeBundle() { set(dictBody); }
  void set(const std::string& dictBody) const {
    setRaw("<plist version=\"1.0\"><dict>" + dictBody + "</dict></plist>\n");
  }
  void setRaw(const std::string& text) const {
    test::WriteFile(dir.path() + "/Contents/Info.plist", text);
  }
  const std::string& path() const { return dir.path(); }
};

std::string Build(const std::string& version) {
  return "<key>CFBundleVersion</key><string>" + version + "</string>";
}

TEST(Bundle, IsTheDirectoryAroundContentsOfTheSharedObject) {
  EXPECT_EQ(OwnBundlePath(), std::nullopt) << "a test binary is in no bundle";
  SetBundlePathForTesting("/somewhere/Korvel.component");
  EXPECT_EQ(OwnBundlePath(), "/somewhere/Korvel.component");
  SetBundlePathForTesting(std::nullopt);

  EXPECT_EQ(BundleOfModule("/usr/lib/audio/Korvel.component/Contents/x86_64-linux/Korvel.so"),
            "/usr/lib/audio/Korvel.component");
  EXPECT_EQ(BundleOfModule("/p/K.component/Contents/./x86_64-linux/../x86_64-linux/Korvel.so"),
            "/p/K.component");
  EXPECT_EQ(BundleOfModule("K.component/Contents/x86_64-linux/Korvel.so"),
            std::filesystem::current_path().string() + "/K.component");
  for (const char* outside :
       {"/work/build/tests/platform/BundleTest", "/p/K.component/Contents/MacOS/Korvel",
        "/p/K.component/Other/x86_64-linux/Korvel.so"})
    EXPECT_EQ(BundleOfModule(outside), std::nullopt) << outside;
}

TEST(Bundle, ReadsTheBuiltBundlesVersions) {
  BundleVersionInfo info = ReadBundleVersionInfo(KORVEL_TEST_BUNDLE_DIR);
  EXPECT_EQ(info.shortVersion, KORVEL_TEST_SHORT_VERSION);
  EXPECT_EQ(info.buildVersion, KORVEL_TEST_BUILD_VERSION);
  EXPECT_TRUE(info.hasAudioComponents);
  EXPECT_EQ(info.componentVersion, KORVEL_TEST_COMPONENT_VERSION);
}

TEST(Bundle, MissingMistypedOrBrokenEntriesGiveEmptyValues) {
  struct Row {
    const char* plist;  // nullptr: no Info.plist at all
    BundleVersionInfo want;
  };
  const Row rows[] = {
      {"<plist version=\"1.0\"><dict><key>CFBundleShortVersionString</key><string>3.1</string>"
       "<key>AudioComponents</key><array><dict><key>name</key><string>first</string></dict>"
       "<dict><key>version</key><integer>7</integer></dict></array></dict></plist>",
       {"3.1", "", true, 0}},  // only the first entry counts, and it has no version
      {"<plist version=\"1.0\"><dict><key>CFBundleVersion</key><string>77</string>"
       "<key>AudioComponents</key><array/></dict></plist>",
       {"", "77", false, std::nullopt}},
      {"<plist version=\"1.0\"><dict><key>CFBundleShortVersionString</key><integer>3</integer>"
       "<key>AudioComponents</key><string>none</string></dict></plist>",
       {"", "", false, std::nullopt}},
      {"<plist><dict><key>CFBundleVersion</key><string>1", {}},
      {nullptr, {}},
  };
  for (const Row& row : rows) {
    FakeBundle bundle;
    if (row.plist) bundle.setRaw(row.plist);
    BundleVersionInfo info = ReadBundleVersionInfo(bundle.path());
    SCOPED_TRACE(row.plist ? row.plist : "(none)");
    EXPECT_EQ(info.shortVersion, row.want.shortVersion);
    EXPECT_EQ(info.buildVersion, row.want.buildVersion);
    EXPECT_EQ(info.hasAudioComponents, row.want.hasAudioComponents);
    EXPECT_EQ(info.componentVersion, row.want.componentVersion);
  }
  FakeBundle directory;
  std::filesystem::create_directories(directory.path() + "/Contents/Info.plist");
  EXPECT_EQ(ReadBundleVersionInfo(directory.path()).buildVersion, "");
}

// Each read sees the file as it is now, per bundle, also from several threads at once.
TEST(Bundle, ReadsSeeTheCurrentFileOfTheirOwnBundle) {
  FakeBundle a(Build("41")), b(Build("B"));
  EXPECT_EQ(ReadBundleVersionInfo(a.path()).buildVersion, "41");
  a.set(Build("A"));
  EXPECT_EQ(ReadBundleVersionInfo(a.path()).buildVersion, "A");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        bool useA = (i + t) % 2 == 0;
        if (ReadBundleVersionInfo(useA ? a.path() : b.path()).buildVersion != (useA ? "A" : "B"))
          ++wrong;
        if (t == 0)
          SetBundlePathForTesting(i % 2 ? std::optional<std::string>(a.path()) : std::nullopt);
      }
    });
  }
  for (auto& th : threads) th.join();
  SetBundlePathForTesting(std::nullopt);
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace korvel::platform
