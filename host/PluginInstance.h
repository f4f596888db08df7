// One open instance of the plug-in, reached only through its plug-in interface: the
// factory makes it, Open/Close bracket its life, and every other call goes through the
// handler that Lookup hands out for the selector.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "host/Plist.h"
#include "host/PluginBundle.h"
#include "platform/AudioComponent.h"

namespace korvel::host {

class PluginError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class PluginInstance {
 public:
  // Factory, then Open. Throws PluginError when the factory returns null or Open fails.
  explicit PluginInstance(const PluginBundle& bundle);
  ~PluginInstance();  // Close
  PluginInstance(const PluginInstance&) = delete;
  PluginInstance& operator=(const PluginInstance&) = delete;

  AudioUnit handle() const { return unit_; }
  AudioComponentMethod lookup(int16_t selector) const { return unit_->Lookup(selector); }

  OSStatus initialize();
  OSStatus uninitialize();
  OSStatus reset();
  OSStatus getPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, uint32_t* size,
                           Boolean* writable) const;
  OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, void* data,
                       uint32_t* size) const;
  OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, const void* data,
                       uint32_t size);

  // Real-time calls, through handlers looked up once at open so that the real-time
  // thread does nothing but call them.
  OSStatus midiEvent(uint32_t status, uint32_t data1, uint32_t data2, uint32_t offset) const {
    return midiEvent_(unit_, status, data1, data2, offset);
  }
  OSStatus render(AudioUnitRenderActionFlags* flags, const AudioTimeStamp* time, uint32_t frames,
                  AudioBufferList* buffers) const {
    return render_(unit_, flags, time, 0, frames, buffers);
  }

  // Typed property access; these throw PluginError when the plug-in refuses.
  uint32_t getU32(AudioUnitPropertyID id) const;
  void setU32(AudioUnitPropertyID id, uint32_t value);
  uint32_t uniqueID() const;
  bool connected() const;
  std::string trackName() const;
  std::array<uint8_t, 16 * 128> ccValues() const;
  std::array<uint8_t, 128> ccTriggered() const;
  int32_t activeArticulation() const;
  uint32_t lastVelocity() const;
  void setMIDIOutputCallback(AUMIDIOutputCallback callback, void* userData);

  // The saved-state dictionary (get of property 0); the caller owns it.
  PlistPtr savedState() const;
  // Restore (set of property 0); the plug-in does not take the dictionary over.
  void restoreState(plist_t dictionary);

 private:
  AudioUnit unit_ = nullptr;
  MusicDeviceMIDIEventProc midiEvent_ = nullptr;
  AudioUnitRenderProc render_ = nullptr;
};

}  // namespace korvel::host
