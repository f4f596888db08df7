// Shared by the editor's tests and its benchmark: direct access to a view's fields, a
// window that records what the view asks of it, pixel reading, and a proxy in front of a
// real instance that records the property sets going through it.
#pragma once

#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "component/KorvelComponent.h"
#include "editor/KorvelEditorView.h"
#include "editor/ViewABI.h"
#include "identity/UIDRegistry.h"
#include "link/CompanionLink.h"
#include "tests/support/TestSupport.h"

namespace korvel::editor {

struct EditorViewProbe {
  KorvelEditorView& view;

  uint8_t (&ccValues())[kKorvelChannels][kKorvelControllers] { return view._ccValues; }
  uint8_t (&ccTriggered())[kKorvelControllers] { return view._ccTriggered; }
  int32_t& activeArticulation() { return view._activeArticulation; }
  int32_t& lastVelocity() { return view._lastVelocity; }
  uint32_t& uniqueID() { return view._uniqueID; }
  bool& isConnected() { return view._isConnected; }
  bool& isActiveTrack() { return view._isActiveTrack; }
  std::string& trackName() { return view._trackName; }
  std::vector<std::string>& articulationNames() { return view._articulationNames; }
  std::vector<int32_t>& articulationNotes() { return view._articulationNotes; }
  bool hasTimer() const { return view._timer != nullptr; }
};

}  // namespace korvel::editor

namespace korvel::test {

// Connection files in a private directory and no bundle (version text "v?"), both undone
// at destruction. Declare it before anything that opens an instance.
struct EditorIsolation {
  EditorIsolation();
  ~EditorIsolation();
  // Another bundle (nullopt: none at all), read afresh.
  static void UseBundle(const std::optional<std::string>& path);
  TempDir files;
};

// A window that records what a view asks of it. With `hostTimers`, it also lends the
// view its timer service; otherwise the view falls back to the plug-in's main queue.
class RecordingWindow {
 public:
  explicit RecordingWindow(bool hostTimers = true);
  const KorvelWindowServices& services() const { return services_; }
  // Fires every live timer once, as the host's loop would when the interval has passed.
  void fireTimers();

  int redraws = 0;
  std::vector<std::string> clipboard;
  struct Timer {
    double interval;
    KorvelTimerCallback fire;
    void* data;
  };
  std::map<uint64_t, Timer> liveTimers;
  int timersStarted = 0, timersStopped = 0;

 private:
  KorvelWindowServices services_{};
  uint64_t nextToken_ = 1;
};

struct RGB {
  double r, g, b;
};
inline RGB Over(RGB fg, double alpha, RGB bg) {
  return {fg.r * alpha + bg.r * (1 - alpha), fg.g * alpha + bg.g * (1 - alpha),
          fg.b * alpha + bg.b * (1 - alpha)};
}
// One pixel of an ARGB32 surface, un-premultiplied, each channel 0..1.
struct Pixel {
  double r, g, b, a;
};
Pixel PixelAt(cairo_surface_t* surface, int x, int y);
// Whether pixel (x, y) is opaque and within `tolerance` of `c` in every channel.
::testing::AssertionResult Shows(cairo_surface_t* surface, int x, int y, RGB c,
                                 double tolerance = 0.02);
// The bounding box (inclusive) of the pixels in [x0, x1) x [y0, y1) that differ from
// `paper` by more than `threshold` in some channel.
struct InkBounds {
  bool found = false;
  int left = 0, top = 0, right = 0, bottom = 0;
};
InkBounds FindInk(cairo_surface_t* surface, int x0, int y0, int x1, int y1, RGB paper,
                  double threshold = 0.08);
// A surface of width x height with the view painted into it (view resized to fit).
cairo_surface_t* Render(editor::KorvelEditorView& view, int width, int height);

// One property set as the instance received it.
struct PropertyCall {
  AudioUnitPropertyID id;
  std::vector<uint8_t> data;
  uint32_t size() const { return uint32_t(data.size()); }
  uint32_t valueAsWord() const {
    uint32_t v = 0;
    std::memcpy(&v, data.data(), std::min<size_t>(4, data.size()));
    return v;
  }
};

// A real instance (KorvelAUFactory + Open) behind a recording proxy: the view holds the
// proxy's handle, and every property set is logged and then made on the instance.
class RecordedInstance {
 public:
  RecordedInstance();
  ~RecordedInstance();
  RecordedInstance(const RecordedInstance&) = delete;
  RecordedInstance& operator=(const RecordedInstance&) = delete;

  AudioUnit handle() { return &proxy_.iface; }
  KorvelInstance* record() { return reinterpret_cast<KorvelInstance*>(real_); }
  AudioUnit real() { return real_; }
  std::vector<PropertyCall>& sets() { return proxy_.sets; }
  // Called with each set, before the instance sees it.
  void onSet(std::function<void(const PropertyCall&)> hook) { proxy_.onSet = std::move(hook); }

  // Property access on the real instance, not recorded.
  uint32_t getWord(AudioUnitPropertyID id);
  void setWord(AudioUnitPropertyID id, uint32_t value);
  void setBytes(AudioUnitPropertyID id, const void* data, uint32_t size);
  std::string trackName();

 private:
  struct Proxy {
    AudioComponentPlugInInterface iface;  // first: the proxy pointer is the handle
    AudioUnit real;
    std::vector<PropertyCall> sets;
    std::function<void(const PropertyCall&)> onSet;
  };
  static AudioComponentMethod Lookup(int16_t selector);
  static OSStatus Get(void* self, AudioUnitPropertyID id, AudioUnitScope scope,
                      AudioUnitElement elem, void* data, uint32_t* size);
  static OSStatus Set(void* self, AudioUnitPropertyID id, AudioUnitScope scope,
                      AudioUnitElement elem, const void* data, uint32_t size);

  AudioUnit real_;
  Proxy proxy_;
};

}  // namespace korvel::test
