#include "tests/editor/EditorTestSupport.h"

#include <algorithm>
#include <cmath>

#include "editor/OffscreenRender.h"
#include "platform/VirtualDispatcher.h"

namespace korvel::test {

RecordingWindow::RecordingWindow(bool hostTimers) {
  services_.context = this;
  services_.setNeedsDisplay = [](void* context, KorvelView*) {
    ++static_cast<RecordingWindow*>(context)->redraws;
  };
  services_.setClipboardText = [](void* context, const char* text) {
    static_cast<RecordingWindow*>(context)->clipboard.emplace_back(text);
  };
  if (hostTimers) {
    services_.startRepeatingTimer = [](void* context, double interval, KorvelTimerCallback fire,
                                       void* data) -> uint64_t {
      auto* self = static_cast<RecordingWindow*>(context);
      const uint64_t token = self->nextToken_++;
      self->liveTimers[token] = Timer{interval, fire, data};
      ++self->timersStarted;
      return token;
    };
    services_.stopTimer = [](void* context, uint64_t token) {
      auto* self = static_cast<RecordingWindow*>(context);
      if (self->liveTimers.erase(token) == 1) ++self->timersStopped;
    };
  }
}

void RecordingWindow::fireTimers() {
  const auto timers = liveTimers;  // a tick may stop or start timers
  for (const auto& [token, timer] : timers) {
    if (liveTimers.count(token) != 0) timer.fire(timer.data);
  }
}

Pixel PixelAt(cairo_surface_t* surface, int x, int y) {
  const unsigned char* row =
      cairo_image_surface_get_data(surface) + y * cairo_image_surface_get_stride(surface);
  uint32_t argb;
  std::memcpy(&argb, row + x * 4, 4);
  const double a = ((argb >> 24) & 0xFF) / 255.0;
  auto channel = [&](int shift) {
    const double premultiplied = ((argb >> shift) & 0xFF) / 255.0;
    return a > 0 ? std::min(1.0, premultiplied / a) : 0.0;
  };
  return Pixel{channel(16), channel(8), channel(0), a};
}

bool Near(const Pixel& p, double r, double g, double b, double tolerance) {
  return std::fabs(p.r - r) <= tolerance && std::fabs(p.g - g) <= tolerance &&
         std::fabs(p.b - b) <= tolerance && p.a > 0.99;
}

InkBounds FindInk(cairo_surface_t* surface, int x0, int y0, int x1, int y1, double r, double g,
                  double b, double threshold) {
  InkBounds bounds;
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) {
      const Pixel p = PixelAt(surface, x, y);
      if (std::fabs(p.r - r) <= threshold && std::fabs(p.g - g) <= threshold &&
          std::fabs(p.b - b) <= threshold) {
        continue;
      }
      if (!bounds.found) {
        bounds = InkBounds{true, x, y, x, y};
      } else {
        bounds.left = std::min(bounds.left, x);
        bounds.right = std::max(bounds.right, x);
        bounds.top = std::min(bounds.top, y);
        bounds.bottom = std::max(bounds.bottom, y);
      }
    }
  }
  return bounds;
}

cairo_surface_t* Render(editor::KorvelEditorView& view, int width, int height) {
  return editor::RenderViewToSurface(view, width, height);
}

RecordedInstance::RecordedInstance() {
  real_ = KorvelAUFactory(nullptr);
  real_->Open(real_, real_);
  proxy_.iface = AudioComponentPlugInInterface{nullptr, nullptr, &RecordedInstance::Lookup, nullptr};
  proxy_.real = real_;
}

RecordedInstance::~RecordedInstance() {
  real_->Close(real_);
  // The record is freed once the link's cancelled timer and its delayed start-up task
  // have let go of it: on the virtual clock, once that task's time has come.
  if (auto* virtualClock = dynamic_cast<platform::VirtualDispatcher*>(&platform::CurrentDispatcher())) {
    virtualClock->advance(std::chrono::seconds(1));
  }
}

std::vector<PropertyCall> RecordedInstance::sets() const {
  std::vector<PropertyCall> out;
  std::copy_if(proxy_.calls.begin(), proxy_.calls.end(), std::back_inserter(out),
               [](const PropertyCall& c) { return c.isSet; });
  return out;
}

AudioComponentMethod RecordedInstance::Lookup(int16_t selector) {
  switch (selector) {
    case kAudioUnitGetPropertySelect: return reinterpret_cast<AudioComponentMethod>(&Get);
    case kAudioUnitSetPropertySelect: return reinterpret_cast<AudioComponentMethod>(&Set);
    default: return nullptr;
  }
}

OSStatus RecordedInstance::Get(void* self, AudioUnitPropertyID id, AudioUnitScope scope,
                               AudioUnitElement elem, void* data, uint32_t* size) {
  auto* proxy = static_cast<Proxy*>(self);
  proxy->calls.push_back(PropertyCall{false, id, {}, size ? *size : 0});
  return AudioUnitGetProperty(proxy->real, id, scope, elem, data, size);
}

OSStatus RecordedInstance::Set(void* self, AudioUnitPropertyID id, AudioUnitScope scope,
                               AudioUnitElement elem, const void* data, uint32_t size) {
  auto* proxy = static_cast<Proxy*>(self);
  const auto* bytes = static_cast<const uint8_t*>(data);
  proxy->calls.push_back(
      PropertyCall{true, id, std::vector<uint8_t>(bytes, bytes + (data ? size : 0)), size});
  if (proxy->onSet) proxy->onSet(proxy->calls.back());
  return AudioUnitSetProperty(proxy->real, id, scope, elem, data, size);
}

uint32_t RecordedInstance::getWord(AudioUnitPropertyID id) {
  uint32_t value = 0;
  uint32_t size = sizeof value;
  AudioUnitGetProperty(real_, id, kAudioUnitScope_Global, 0, &value, &size);
  return value;
}

void RecordedInstance::setWord(AudioUnitPropertyID id, uint32_t value) {
  AudioUnitSetProperty(real_, id, kAudioUnitScope_Global, 0, &value, sizeof value);
}

std::string RecordedInstance::trackName() {
  char name[kKorvelTrackNameSize] = {};
  uint32_t size = sizeof name;
  AudioUnitGetProperty(real_, kKorvelProperty_TrackName, kAudioUnitScope_Global, 0, name, &size);
  return std::string(name, strnlen(name, sizeof name));
}

}  // namespace korvel::test

// Fontconfig keeps its configuration and font caches for the life of the process (Pango's
// default font map never lets them go); LeakSanitizer would report them at exit.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
