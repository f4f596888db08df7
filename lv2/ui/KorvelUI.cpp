// The editor as an LV2 UI of type ui:X11UI: the host gives a parent X11 window and the
// plug-in instance (instance access), and drives the UI through ui:idleInterface.
//
// The plug-in's LV2 handle is an AudioUnit whose handlers take the plug-in's
// instance-state lock themselves (lv2/KorvelLV2.h), so the editor's property calls need
// nothing more.
#include <lv2/instance-access/instance-access.h>
#include <lv2/ui/ui.h>

#include <cstdint>
#include <cstring>

#include "lv2/KorvelLV2.h"
#include "lv2/ui/EditorX11Window.h"
#include "platform/Export.h"

namespace korvel::lv2ui {
namespace {

const LV2_Feature* FindFeature(const LV2_Feature* const* features, const char* uri) {
  for (; features != nullptr && *features != nullptr; ++features)
    if (std::strcmp((*features)->URI, uri) == 0) return *features;
  return nullptr;
}

LV2UI_Handle Instantiate(const LV2UI_Descriptor*, const char*, const char*, LV2UI_Write_Function,
                         LV2UI_Controller, LV2UI_Widget* widget,
                         const LV2_Feature* const* features) {
  const LV2_Feature* parent = FindFeature(features, LV2_UI__parent);
  const LV2_Feature* instance = FindFeature(features, LV2_INSTANCE_ACCESS_URI);
  if (parent == nullptr || instance == nullptr || instance->data == nullptr) return nullptr;
  auto window =
      EditorX11Window::Open(static_cast<Window>(reinterpret_cast<uintptr_t>(parent->data)),
                            static_cast<AudioUnit>(instance->data));
  if (!window) return nullptr;
  *widget = reinterpret_cast<LV2UI_Widget>(static_cast<uintptr_t>(window->window()));
  if (const LV2_Feature* resize = FindFeature(features, LV2_UI__resize);
      resize != nullptr && resize->data != nullptr) {
    const auto* host = static_cast<const LV2UI_Resize*>(resize->data);
    host->ui_resize(host->handle, window->width(), window->height());
  }
  return window.release();
}

void Cleanup(LV2UI_Handle ui) { delete static_cast<EditorX11Window*>(ui); }

// Non-zero tells the host the UI is gone: here, only when the host's window took ours with it.
int Idle(LV2UI_Handle ui) { return static_cast<EditorX11Window*>(ui)->idle() ? 0 : 1; }

constexpr LV2UI_Idle_Interface kIdleInterface{Idle};

const void* ExtensionData(const char* uri) {
  return std::strcmp(uri, LV2_UI__idleInterface) == 0 ? &kIdleInterface : nullptr;
}

constexpr LV2UI_Descriptor kDescriptor{KORVEL_LV2_UI_URI, Instantiate, Cleanup, nullptr,
                                       ExtensionData};

}  // namespace
}  // namespace korvel::lv2ui

extern "C" KORVEL_EXPORT const LV2UI_Descriptor* lv2ui_descriptor(uint32_t index) {
  return index == 0 ? &korvel::lv2ui::kDescriptor : nullptr;
}
