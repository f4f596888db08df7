// The plain-C side a host sees: the factory lookup, the view table, the view description.
#include <gtest/gtest.h>
#include <glib.h>
#include <plist/plist.h>

#include <array>
#include <filesystem>

#include "component/CocoaViewInfo.h"
#include "editor/ViewABI.h"
#include "link/SharedPaths.h"
#include "platform/Bundle.h"
#include "tests/editor/EditorTestSupport.h"

namespace korvel::test {
namespace {

const KorvelViewFactoryInterface* Factory() { return Korvel_ViewFactoryNamed("KorvelViewFactory"); }

// Checks both values of `info` and frees them.
void ExpectViewInfo(AudioUnitCocoaViewInfo& info, const std::string& bundleURL) {
  for (auto [node, expected] : {std::pair{info.mCocoaAUViewBundleLocation, bundleURL},
                                {info.mCocoaAUViewClass[0], std::string("KorvelViewFactory")}}) {
    char* text = nullptr;
    if (plist_get_node_type(node) == PLIST_STRING) plist_get_string_val(node, &text);
    EXPECT_STREQ(text, expected.c_str());
    free(text);
    plist_free(node);
  }
}

class ViewABI : public ::testing::Test {
 protected:
  EditorIsolation isolation;
  VirtualDispatchScope dispatch;
};

TEST_F(ViewABI, FactoryIsFoundByItsClassNameOnly) {
  for (const char* name : {"KorvelView", "korvelviewfactory", static_cast<const char*>(nullptr)})
    EXPECT_EQ(Korvel_ViewFactoryNamed(name), nullptr) << (name ? name : "null");
  ASSERT_NE(Factory(), nullptr);
  EXPECT_EQ(Factory()->interfaceVersion(), 0u);
  EXPECT_STREQ(Factory()->description(), "Korvel View");
}

TEST_F(ViewABI, ViewsAreAtLeast340By500AndFollowTheirContainer) {
  const KorvelViewFactoryInterface* f = Factory();
  const struct {
    double w, h, expectW, expectH;
  } cases[] = {{200, 300, 340, 500}, {800, 600, 800, 600}, {340, 900, 340, 900}, {0, 0, 340, 500}};
  for (const auto& c : cases) {
    KorvelView* view = f->uiViewForAudioUnit(nullptr, c.w, c.h);
    KorvelViewRect frame = f->view->frame(view);
    EXPECT_EQ((std::array{frame.x, frame.y, frame.width, frame.height}),
              (std::array<double, 4>{0, 0, c.expectW, c.expectH}))
        << c.w << "x" << c.h;
    EXPECT_EQ(f->view->autoresizingMask(view), 18u);
    f->view->setFrameSize(view, 500, 700);
    frame = f->view->frame(view);
    EXPECT_EQ(frame.width, 500);
    EXPECT_EQ(frame.height, 700);
    f->view->release(view);
  }
}

TEST_F(ViewABI, ViewTableDrivesTheView) {
  RecordedInstance instance;
  const KorvelViewFactoryInterface* f = Factory();
  KorvelView* view = f->uiViewForAudioUnit(instance.handle(), 340, 500);
  EXPECT_EQ(f->view->audioUnit(view), instance.handle());
  f->view->setAudioUnit(view, instance.real());
  EXPECT_EQ(f->view->audioUnit(view), instance.real());

  RecordingWindow window;
  f->view->attachToWindow(view, &window.services());
  EXPECT_EQ(window.liveTimers.size(), 1u);
  f->view->tick(view);
  EXPECT_EQ(window.redraws, 1);
  f->view->mouseDown(view, 339, 5);
  EXPECT_EQ(window.clipboard,
            std::vector<std::string>{HexUID(instance.getWord(kKorvelProperty_UniqueID)) + " v?"});

  // The pictures themselves are checked through this table by korvel-host's snapshots.
  const std::string png = isolation.files.file("editor.png");
  ASSERT_EQ(f->view->renderPNG(view, 360, 520, png.c_str()), 0);
  cairo_surface_t* read = cairo_image_surface_create_from_png(png.c_str());
  EXPECT_EQ(cairo_image_surface_get_width(read), 360);
  EXPECT_EQ(cairo_image_surface_get_height(read), 520);
  cairo_surface_destroy(read);
  for (auto [w, path] : {std::pair{0, png}, {10, isolation.files.file("missing/dir.png")}})
    EXPECT_EQ(f->view->renderPNG(view, w, 10, path.c_str()), -1) << w << " " << path;
  EXPECT_EQ(f->view->renderPNG(view, 10, 10, nullptr), -1);

  f->view->detachFromWindow(view);
  EXPECT_TRUE(window.liveTimers.empty());
  f->view->attachToWindow(view, &window.services());
  f->view->release(view);
  EXPECT_TRUE(window.liveTimers.empty());
}

// Hosts may close the instance before they destroy its view.
TEST_F(ViewABI, AViewOutlivingItsInstanceShowsItNotConnectedAndFreesTheRecordLast) {
  const int before = KR_LiveRecordCount();
  AudioUnit unit = KorvelAUFactory(nullptr);
  ASSERT_EQ(unit->Open(unit, unit), 0);
  uint32_t uid = 0, size = sizeof uid;
  ASSERT_EQ(
      AudioUnitGetProperty(unit, kKorvelProperty_UniqueID, kAudioUnitScope_Global, 0, &uid, &size),
      0);
  WriteFile(link::ConnectionFilePath(uid), R"({"status":"connected","trackName":"Harp"})");
  const KorvelViewFactoryInterface* f = Factory();
  KorvelView* view = f->uiViewForAudioUnit(unit, 340, 500);
  RecordingWindow window;
  f->view->attachToWindow(view, &window.services());
  f->view->tick(view);
  ASSERT_TRUE(reinterpret_cast<editor::KorvelEditorView*>(view)->isConnected());

  ASSERT_EQ(unit->Close(unit), 0);
  dispatch.advance(std::chrono::seconds(1));  // the link's timer and tasks let go
  EXPECT_EQ(KR_LiveRecordCount(), before + 1) << "the view still holds the record";
  window.fireTimers();  // a tick
  EXPECT_EQ(f->view->renderPNG(view, 340, 500, isolation.files.file("closed.png").c_str()), 0);
  EXPECT_FALSE(reinterpret_cast<editor::KorvelEditorView*>(view)->isConnected())
      << "the file is no longer followed";
  f->view->release(view);
  EXPECT_EQ(KR_LiveRecordCount(), before);
}

TEST_F(ViewABI, CocoaViewInfoNamesTheBundleAndTheFactory) {
  platform::SetBundlePathForTesting(isolation.files.file("with space/Korvel.component"));
  const std::string bundleURL =
      "file://" + isolation.files.path() + "/with%20space/Korvel.component/";
  AudioUnitCocoaViewInfo info{};
  Korvel_GetCocoaUIInfo(&info);
  ExpectViewInfo(info, bundleURL);

  // Outside a bundle the component's CocoaUI property has nothing to say (what it says
  // inside one, korvel-host validate checks on the built bundle)...
  platform::SetBundlePathForTesting(std::nullopt);
  ASSERT_FALSE(platform::OwnBundlePath().has_value());
  {
    RecordedInstance instance;
    uint32_t size = sizeof info;
    EXPECT_EQ(AudioUnitGetProperty(instance.real(), kAudioUnitProperty_CocoaUI,
                                   kAudioUnitScope_Global, 0, &info, &size),
              kAudioUnitErr_InvalidProperty);
  }
  AudioUnitCocoaViewInfo untouched{};
  EXPECT_FALSE(KorvelEditor_CopyCocoaViewInfo(&untouched));
  EXPECT_EQ(untouched.mCocoaAUViewBundleLocation, nullptr);

  // ...while the exported function falls back to the main program's directory.
  Korvel_GetCocoaUIInfo(&info);
  const std::string exeDir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
  gchar* uri = g_filename_to_uri(exeDir.c_str(), nullptr, nullptr);
  ExpectViewInfo(info, std::string(uri) + "/");
  g_free(uri);
}

}  // namespace
}  // namespace korvel::test
