// The version text comes from the bundle's first AudioComponents entry, once per process.
#include <gtest/gtest.h>

#include <filesystem>

#include "editor/PluginVersion.h"
#include "platform/Bundle.h"
#include "tests/editor/EditorTestSupport.h"

namespace korvel::test {
namespace {

class PluginVersionText : public ::testing::Test {
 protected:
  // A bundle whose Info.plist holds `components` (XML) as its AudioComponents value
  // (nothing: no such key), read afresh; returns the version text.
  std::string versionWith(const std::string& name, const char* components) {
    const std::string bundle = isolation.files.file(name + ".component");
    std::filesystem::create_directories(bundle + "/Contents");
    WriteFile(bundle + "/Contents/Info.plist",
              std::string(R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
                          "<key>CFBundleExecutable</key><string>Korvel</string>") +
                  (components ? std::string("<key>AudioComponents</key>") + components : "") +
                  "</dict></plist>\n");
    EditorIsolation::UseBundle(bundle);
    return editor::PluginVersion();
  }
  EditorIsolation isolation;
};

// Which entry counts, and what a missing one gives, is the bundle reader's business.
TEST_F(PluginVersionText, ComesFromTheComponentEntryAndIsKeptForTheProcessAndShownEverywhere) {
  EXPECT_EQ(versionWith("none", "<array/>"), "v?");
  EXPECT_EQ(
      versionWith("one", "<array><dict><key>version</key><integer>3</integer></dict></array>"),
      "v3");
  platform::SetBundlePathForTesting(isolation.files.file("missing.component"));
  EXPECT_EQ(editor::PluginVersion(), "v3");  // not read again

  RecordingWindow window;
  editor::KorvelEditorView view{editor::Rect{0, 0, 340, 500}, nullptr};
  editor::EditorViewProbe{view}.uniqueID() = 0xA1B2C3D4;
  view.viewDidMoveToWindow(&window.services());
  view.mouseDown(300, 16);
  editor::ResetPluginVersionForTesting();
  view.mouseDown(300, 16);
  EXPECT_EQ(window.clipboard, (std::vector<std::string>{"A1B2C3D4 v3", "A1B2C3D4 v?"}));
}

}  // namespace
}  // namespace korvel::test
