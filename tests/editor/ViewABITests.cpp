// The plain-C side a host sees: the factory lookup, the view table, the view description.
#include <gtest/gtest.h>
#include <glib.h>
#include <plist/plist.h>

#include <filesystem>

#include "editor/CocoaViewInfo.h"
#include "editor/PluginVersion.h"
#include "editor/ViewABI.h"
#include "link/SharedPaths.h"
#include "platform/Bundle.h"
#include "tests/editor/EditorTestSupport.h"
#include "tests/support/TestSupport.h"

namespace korvel::test {
namespace {

std::string StringNode(plist_t node) {
  EXPECT_EQ(plist_get_node_type(node), PLIST_STRING);
  char* text = nullptr;
  plist_get_string_val(node, &text);
  std::string s = text ? text : "";
  free(text);
  return s;
}

class ViewABI : public ::testing::Test {
 protected:
  ViewABI() { link::SetSharedFileDirectoryForTesting(files.path()); }
  ~ViewABI() override {
    link::SetSharedFileDirectoryForTesting(std::nullopt);
    platform::SetBundlePathForTesting(std::nullopt);
    editor::ResetPluginVersionForTesting();
  }
  TempDir files;
};

TEST_F(ViewABI, FactoryIsFoundByItsClassNameOnly) {
  EXPECT_EQ(Korvel_ViewFactoryNamed("KorvelView"), nullptr);
  EXPECT_EQ(Korvel_ViewFactoryNamed("korvelviewfactory"), nullptr);
  EXPECT_EQ(Korvel_ViewFactoryNamed(nullptr), nullptr);
  const KorvelViewFactoryInterface* factory = Korvel_ViewFactoryNamed("KorvelViewFactory");
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(factory->interfaceVersion(), 0u);
  EXPECT_STREQ(factory->description(), "Korvel View");
}

TEST_F(ViewABI, ViewsAreAtLeast340By500AndFollowTheirContainer) {
  const KorvelViewFactoryInterface* f = Korvel_ViewFactoryNamed("KorvelViewFactory");
  const struct {
    double w, h, expectW, expectH;
  } cases[] = {{200, 300, 340, 500}, {800, 600, 800, 600}, {340, 900, 340, 900}, {0, 0, 340, 500}};
  for (const auto& c : cases) {
    KorvelView* view = f->uiViewForAudioUnit(nullptr, c.w, c.h);
    const KorvelViewRect frame = f->view->frame(view);
    EXPECT_EQ(frame.x, 0);
    EXPECT_EQ(frame.y, 0);
    EXPECT_EQ(frame.width, c.expectW);
    EXPECT_EQ(frame.height, c.expectH);
    EXPECT_EQ(f->view->autoresizingMask(view), 18u);
    f->view->setFrameSize(view, 500, 700);
    EXPECT_EQ(f->view->frame(view).width, 500);
    EXPECT_EQ(f->view->frame(view).height, 700);
    f->view->release(view);
  }
}

TEST_F(ViewABI, ViewTableDrivesTheView) {
  VirtualDispatchScope dispatch;
  RecordedInstance instance;
  const KorvelViewFactoryInterface* f = Korvel_ViewFactoryNamed("KorvelViewFactory");
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
  ASSERT_EQ(window.clipboard.size(), 1u);
  char uid[16];
  std::snprintf(uid, sizeof uid, "%08X ", instance.getWord(kKorvelProperty_UniqueID));
  EXPECT_EQ(window.clipboard[0].rfind(uid, 0), 0u) << window.clipboard[0];

  // Drawing through the table and the PNG helper give the same picture.
  cairo_surface_t* drawn = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 360, 520);
  f->view->setFrameSize(view, 360, 520);
  cairo_t* cr = cairo_create(drawn);
  f->view->draw(view, cr);
  cairo_destroy(cr);
  const std::string png = files.file("editor.png");
  ASSERT_EQ(f->view->renderPNG(view, 360, 520, png.c_str()), 0);
  cairo_surface_t* read = cairo_image_surface_create_from_png(png.c_str());
  ASSERT_EQ(cairo_surface_status(read), CAIRO_STATUS_SUCCESS);
  EXPECT_EQ(cairo_image_surface_get_width(read), 360);
  EXPECT_EQ(cairo_image_surface_get_height(read), 520);
  for (auto [x, y] : {std::pair{15, 16}, {5, 480}, {100, 3}, {70, 345}}) {
    const Pixel a = PixelAt(drawn, x, y);
    const Pixel b = PixelAt(read, x, y);
    EXPECT_NEAR(a.r, b.r, 0.01);
    EXPECT_NEAR(a.g, b.g, 0.01);
    EXPECT_NEAR(a.b, b.b, 0.01);
  }
  cairo_surface_destroy(read);
  cairo_surface_destroy(drawn);
  EXPECT_EQ(f->view->renderPNG(view, 0, 10, png.c_str()), -1);
  EXPECT_EQ(f->view->renderPNG(view, 10, 10, nullptr), -1);
  EXPECT_EQ(f->view->renderPNG(view, 10, 10, files.file("missing/dir.png").c_str()), -1);

  f->view->detachFromWindow(view);
  EXPECT_TRUE(window.liveTimers.empty());
  f->view->attachToWindow(view, &window.services());
  f->view->release(view);
  EXPECT_TRUE(window.liveTimers.empty());
}

TEST_F(ViewABI, CocoaViewInfoNamesTheBundleAndTheFactory) {
  const std::string bundle = files.file("with space/Korvel.component");
  platform::SetBundlePathForTesting(bundle);
  const std::string expectedURL = "file://" + files.path() + "/with%20space/Korvel.component/";

  AudioUnitCocoaViewInfo info{};
  Korvel_GetCocoaUIInfo(&info);
  EXPECT_EQ(StringNode(info.mCocoaAUViewBundleLocation), expectedURL);
  EXPECT_EQ(StringNode(info.mCocoaAUViewClass[0]), "KorvelViewFactory");
  plist_free(info.mCocoaAUViewBundleLocation);
  plist_free(info.mCocoaAUViewClass[0]);

  // The component's CocoaUI property hands out the same two values.
  {
    VirtualDispatchScope dispatch;
    RecordedInstance instance;
    AudioUnitCocoaViewInfo viaProperty{};
    uint32_t size = sizeof viaProperty;
    ASSERT_EQ(AudioUnitGetProperty(instance.real(), kAudioUnitProperty_CocoaUI, kAudioUnitScope_Global,
                                   0, &viaProperty, &size),
              0);
    EXPECT_EQ(StringNode(viaProperty.mCocoaAUViewBundleLocation), expectedURL);
    EXPECT_EQ(StringNode(viaProperty.mCocoaAUViewClass[0]), "KorvelViewFactory");
    plist_free(viaProperty.mCocoaAUViewBundleLocation);
    plist_free(viaProperty.mCocoaAUViewClass[0]);

    // Outside a bundle the property has nothing to say.
    platform::SetBundlePathForTesting(std::nullopt);
    ASSERT_FALSE(platform::OwnBundlePath().has_value());
    EXPECT_EQ(AudioUnitGetProperty(instance.real(), kAudioUnitProperty_CocoaUI, kAudioUnitScope_Global,
                                   0, &viaProperty, &size),
              kAudioUnitErr_InvalidProperty);
  }
  AudioUnitCocoaViewInfo untouched{};
  EXPECT_FALSE(KorvelEditor_CopyCocoaViewInfo(&untouched));
  EXPECT_EQ(untouched.mCocoaAUViewBundleLocation, nullptr);

  // ...while the exported function falls back to the main program's directory.
  Korvel_GetCocoaUIInfo(&info);
  const std::string exeDir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
  gchar* uri = g_filename_to_uri(exeDir.c_str(), nullptr, nullptr);
  EXPECT_EQ(StringNode(info.mCocoaAUViewBundleLocation), std::string(uri) + "/");
  g_free(uri);
  EXPECT_EQ(StringNode(info.mCocoaAUViewClass[0]), "KorvelViewFactory");
  plist_free(info.mCocoaAUViewBundleLocation);
  plist_free(info.mCocoaAUViewClass[0]);
}

}  // namespace
}  // namespace korvel::test
