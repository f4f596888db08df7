// The LV2 handle as an AudioUnit: each handler forwards to the component's own, holding
// the instance-state lock so that a UI's property calls never overlap main-queue work.
// The MIDI handler is the exception: it is the real-time path and takes no lock.
#include <mutex>

#include "lv2/MainQueueThread.h"
#include "lv2/PluginInstance.h"

namespace korvel::lv2 {
namespace {

template <int16_t Selector, bool Locked, class Proc>
struct Forward;

template <int16_t Selector, bool Locked, class... Args>
struct Forward<Selector, Locked, OSStatus (*)(void*, Args...)> {
  static OSStatus Call(void* self, Args... args) {
    AudioUnit component = static_cast<PluginInstance*>(self)->component;
    auto handler = reinterpret_cast<OSStatus (*)(void*, Args...)>(component->Lookup(Selector));
    if (handler == nullptr) return kAudioUnitErr_InvalidProperty;
    if constexpr (Locked) {
      std::lock_guard lock(InstanceStateLock());
      return handler(component, args...);
    } else {
      return handler(component, args...);
    }
  }
  static AudioComponentMethod Method() { return reinterpret_cast<AudioComponentMethod>(&Call); }
};

}  // namespace

AudioComponentMethod LockedLookup(int16_t selector) {
  switch (selector) {
    case kAudioUnitInitializeSelect:
      return Forward<kAudioUnitInitializeSelect, true, AudioUnitInitializeProc>::Method();
    case kAudioUnitUninitializeSelect:
      return Forward<kAudioUnitUninitializeSelect, true, AudioUnitUninitializeProc>::Method();
    case kAudioUnitGetPropertyInfoSelect:
      return Forward<kAudioUnitGetPropertyInfoSelect, true, AudioUnitGetPropertyInfoProc>::Method();
    case kAudioUnitGetPropertySelect:
      return Forward<kAudioUnitGetPropertySelect, true, AudioUnitGetPropertyProc>::Method();
    case kAudioUnitSetPropertySelect:
      return Forward<kAudioUnitSetPropertySelect, true, AudioUnitSetPropertyProc>::Method();
    case kAudioUnitGetParameterSelect:
      return Forward<kAudioUnitGetParameterSelect, true, AudioUnitGetParameterProc>::Method();
    case kAudioUnitResetSelect:
      return Forward<kAudioUnitResetSelect, true, AudioUnitResetProc>::Method();
    case kMusicDeviceMIDIEventSelect:
      return Forward<kMusicDeviceMIDIEventSelect, false, MusicDeviceMIDIEventProc>::Method();
    default:
      return nullptr;
  }
}

}  // namespace korvel::lv2
