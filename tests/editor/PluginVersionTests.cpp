// The version text comes from the bundle's first AudioComponents entry, once per process.
#include <gtest/gtest.h>

#include <filesystem>

#include "editor/KorvelEditorView.h"
#include "editor/PluginVersion.h"
#include "link/SharedPaths.h"
#include "platform/Bundle.h"
#include "tests/editor/EditorTestSupport.h"
#include "tests/support/TestSupport.h"

namespace korvel::test {
namespace {

class PluginVersionText : public ::testing::Test {
 protected:
  PluginVersionText() { link::SetSharedFileDirectoryForTesting(files.path()); }
  ~PluginVersionText() override {
    link::SetSharedFileDirectoryForTesting(std::nullopt);
    platform::SetBundlePathForTesting(std::nullopt);
    editor::ResetPluginVersionForTesting();
  }
  // A bundle whose Info.plist holds `components` (XML) as its AudioComponents value.
  std::string bundleWith(const std::string& name, const std::string& components) {
    const std::string bundle = files.file(name + ".component");
    std::filesystem::create_directories(bundle + "/Contents");
    WriteFile(bundle + "/Contents/Info.plist",
              R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict><key>CFBundleExecutable</key><string>Korvel</string>)" +
                  components + "</dict></plist>\n");
    return bundle;
  }
  const std::string& versionOf(const std::string& bundle) {
    platform::SetBundlePathForTesting(bundle);
    editor::ResetPluginVersionForTesting();
    return editor::PluginVersion();
  }
  TempDir files;
};

TEST_F(PluginVersionText, ComesFromTheFirstComponentEntry) {
  EXPECT_EQ(versionOf(bundleWith("a", "<key>AudioComponents</key><array>"
                                      "<dict><key>version</key><integer>131073</integer></dict>"
                                      "<dict><key>version</key><integer>7</integer></dict></array>")),
            "v131073");
  EXPECT_EQ(versionOf(bundleWith("b", "<key>AudioComponents</key><array>"
                                      "<dict><key>name</key><string>Korvel</string></dict></array>")),
            "v0");
  EXPECT_EQ(versionOf(bundleWith("c", "<key>AudioComponents</key><array/>")), "v?");
  EXPECT_EQ(versionOf(bundleWith("d", "")), "v?");
  EXPECT_EQ(versionOf(files.file("missing.component")), "v?");
}

TEST_F(PluginVersionText, IsKeptForTheProcessAndShownEverywhere) {
  const std::string first = bundleWith("one", "<key>AudioComponents</key><array>"
                                              "<dict><key>version</key><integer>3</integer></dict></array>");
  const std::string second = bundleWith("two", "");
  EXPECT_EQ(versionOf(first), "v3");
  platform::SetBundlePathForTesting(second);
  EXPECT_EQ(editor::PluginVersion(), "v3");  // not read again

  RecordingWindow window;
  editor::KorvelEditorView view{editor::Rect{0, 0, 340, 500}, nullptr};
  editor::EditorViewProbe{view}.uniqueID() = 0xA1B2C3D4;
  view.viewDidMoveToWindow(&window.services());
  view.mouseDown(300, 16);
  ASSERT_EQ(window.clipboard.size(), 1u);
  EXPECT_EQ(window.clipboard[0], "A1B2C3D4 v3");

  editor::ResetPluginVersionForTesting();
  view.mouseDown(300, 16);
  EXPECT_EQ(window.clipboard.back(), "A1B2C3D4 v?");
}

}  // namespace
}  // namespace korvel::test
