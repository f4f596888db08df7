#include "tests/editor/EditorTestSupport.h"

#include <algorithm>
#include <cmath>

#include "editor/PluginVersion.h"
#include "link/SharedPaths.h"
#include "platform/Bundle.h"
#include "platform/VirtualDispatcher.h"

namespace korvel::test {

EditorIsolation::EditorIsolation() {
  link::SetSharedFileDirectoryForTesting(files.path());
  UseBundle(std::string("/nonexistent/Korvel.component"));
}

EditorIsolation::~EditorIsolation() {
  link::SetSharedFileDirectoryForTesting(std::nullopt);
  UseBundle(std::nullopt);
}

void EditorIsolation::UseBundle(const std::optional<std::string>& path) {
  platform::SetBundlePathForTesting(path);
  editor::ResetPluginVersionForTesting();
}

RecordingWindow::RecordingWindow(bool hostTimers) {
  services_.context = this;
  services_.setNeedsDisplay = [](void* self, KorvelView*) {
    ++static_cast<RecordingWindow*>(self)->redraws;
  };
  services_.setClipboardText = [](void* self, const char* text) {
    static_cast<RecordingWindow*>(self)->clipboard.emplace_back(text);
  };
  if (!hostTimers) return;
  services_.startRepeatingTimer = [](void* context, double interval, KorvelTimerCallback fire,
                                     void* data) -> uint64_t {
    auto* self = static_cast<RecordingWindow*>(context);
    self->liveTimers[self->nextToken_] = Timer{interval, fire, data};
    ++self->timersStarted;
    return self->nextToken_++;
  };
  services_.stopTimer = [](void* context, uint64_t token) {
    auto* self = static_cast<RecordingWindow*>(context);
    if (self->liveTimers.erase(token) == 1) ++self->timersStopped;
  };
}

void RecordingWindow::fireTimers() {
  const auto timers = liveTimers;  // a tick may stop or start timers
  for (const auto& [token, timer] : timers)
    if (liveTimers.count(token) != 0) timer.fire(timer.data);
}

Pixel PixelAt(cairo_surface_t* surface, int x, int y) {
  uint32_t argb;
  std::memcpy(
      &argb,
      cairo_image_surface_get_data(surface) + y * cairo_image_surface_get_stride(surface) + x * 4,
      4);
  const double a = (argb >> 24) / 255.0;
  auto channel = [&](int shift) {
    return a > 0 ? std::min(1.0, ((argb >> shift) & 0xFF) / 255.0 / a) : 0.0;
  };
  return Pixel{channel(16), channel(8), channel(0), a};
}

static double Difference(const Pixel& p, RGB c) {
  return std::max({std::fabs(p.r - c.r), std::fabs(p.g - c.g), std::fabs(p.b - c.b)});
}

::testing::AssertionResult Shows(cairo_surface_t* surface, int x, int y, RGB c, double tolerance) {
  const Pixel p = PixelAt(surface, x, y);
  if (Difference(p, c) <= tolerance && p.a > 0.99) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "(" << x << "," << y << ") is rgba(" << p.r << "," << p.g << "," << p.b << "," << p.a
         << "), not rgb(" << c.r << "," << c.g << "," << c.b << ")";
}

InkBounds FindInk(cairo_surface_t* surface, int x0, int y0, int x1, int y1, RGB paper,
                  double threshold) {
  InkBounds b;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) {
      if (Difference(PixelAt(surface, x, y), paper) <= threshold) continue;
      b = b.found ? InkBounds{true, std::min(b.left, x), std::min(b.top, y), std::max(b.right, x),
                              std::max(b.bottom, y)}
                  : InkBounds{true, x, y, x, y};
    }
  return b;
}

RecordedInstance::RecordedInstance() : real_(KorvelAUFactory(nullptr)) {
  real_->Open(real_, real_);
  proxy_.iface =
      AudioComponentPlugInInterface{nullptr, nullptr, &RecordedInstance::Lookup, nullptr};
  proxy_.real = real_;
}

RecordedInstance::~RecordedInstance() {
  real_->Close(real_);
  // The record is freed once the link's cancelled timer and its delayed start-up task
  // have let go of it: on the virtual clock, once that task's time has come.
  if (auto* clock = dynamic_cast<platform::VirtualDispatcher*>(&platform::CurrentDispatcher()))
    clock->advance(std::chrono::seconds(1));
}

AudioComponentMethod RecordedInstance::Lookup(int16_t selector) {
  switch (selector) {
    case kAudioUnitGetPropertySelect:
      return reinterpret_cast<AudioComponentMethod>(&Get);
    case kAudioUnitSetPropertySelect:
      return reinterpret_cast<AudioComponentMethod>(&Set);
    default:
      return nullptr;
  }
}

OSStatus RecordedInstance::Get(void* self, AudioUnitPropertyID id, AudioUnitScope scope,
                               AudioUnitElement elem, void* data, uint32_t* size) {
  return AudioUnitGetProperty(static_cast<Proxy*>(self)->real, id, scope, elem, data, size);
}

OSStatus RecordedInstance::Set(void* self, AudioUnitPropertyID id, AudioUnitScope scope,
                               AudioUnitElement elem, const void* data, uint32_t size) {
  auto* proxy = static_cast<Proxy*>(self);
  const auto* bytes = static_cast<const uint8_t*>(data);
  proxy->sets.push_back(PropertyCall{id, std::vector<uint8_t>(bytes, bytes + (data ? size : 0))});
  if (proxy->onSet) proxy->onSet(proxy->sets.back());
  return AudioUnitSetProperty(proxy->real, id, scope, elem, data, size);
}

uint32_t RecordedInstance::getWord(AudioUnitPropertyID id) {
  uint32_t value = 0, size = sizeof value;
  AudioUnitGetProperty(real_, id, kAudioUnitScope_Global, 0, &value, &size);
  return value;
}

void RecordedInstance::setWord(AudioUnitPropertyID id, uint32_t value) {
  setBytes(id, &value, sizeof value);
}

void RecordedInstance::setBytes(AudioUnitPropertyID id, const void* data, uint32_t size) {
  AudioUnitSetProperty(real_, id, kAudioUnitScope_Global, 0, data, size);
}

std::string RecordedInstance::trackName() {
  char name[kKorvelTrackNameSize] = {};
  uint32_t size = sizeof name;
  AudioUnitGetProperty(real_, kKorvelProperty_TrackName, kAudioUnitScope_Global, 0, name, &size);
  return std::string(name, strnlen(name, sizeof name));
}

}  // namespace korvel::test
