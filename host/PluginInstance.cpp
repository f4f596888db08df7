#include "host/PluginInstance.h"

#include <cstring>

#include "host/PropertyIDs.h"

namespace korvel::host {
namespace {

std::string StatusText(OSStatus s) { return "status " + std::to_string(s); }

template <class Proc>
Proc Handler(AudioUnit unit, int16_t selector) {
  return reinterpret_cast<Proc>(unit->Lookup(selector));
}

}  // namespace

PluginInstance::PluginInstance(const PluginBundle& bundle) {
  AudioComponentDescription desc = bundle.info().component.description();
  AudioComponentPlugInInterface* iface = bundle.factory()(&desc);
  if (!iface) throw PluginError("the factory returned no instance");
  if (!iface->Open || !iface->Close || !iface->Lookup)
    throw PluginError("the plug-in interface lacks Open, Close or Lookup");
  OSStatus s = iface->Open(iface, iface);
  if (s != noErr) {
    iface->Close(iface);
    throw PluginError("Open failed with " + StatusText(s));
  }
  unit_ = iface;
  midiEvent_ = Handler<MusicDeviceMIDIEventProc>(unit_, kMusicDeviceMIDIEventSelect);
  render_ = Handler<AudioUnitRenderProc>(unit_, kAudioUnitRenderSelect);
  if (!midiEvent_ || !render_) {
    unit_->Close(unit_);
    throw PluginError("the plug-in has no MIDI-event or render handler");
  }
}

PluginInstance::~PluginInstance() { unit_->Close(unit_); }

OSStatus PluginInstance::initialize() {
  auto fn = Handler<AudioUnitInitializeProc>(unit_, kAudioUnitInitializeSelect);
  return fn ? fn(unit_) : kAudioUnitErr_InvalidProperty;
}

OSStatus PluginInstance::uninitialize() {
  auto fn = Handler<AudioUnitUninitializeProc>(unit_, kAudioUnitUninitializeSelect);
  return fn ? fn(unit_) : kAudioUnitErr_InvalidProperty;
}

OSStatus PluginInstance::reset() {
  auto fn = Handler<AudioUnitResetProc>(unit_, kAudioUnitResetSelect);
  return fn ? fn(unit_, kAudioUnitScope_Global, 0) : kAudioUnitErr_InvalidProperty;
}

OSStatus PluginInstance::getPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope,
                                         uint32_t* size, Boolean* writable) const {
  auto fn = Handler<AudioUnitGetPropertyInfoProc>(unit_, kAudioUnitGetPropertyInfoSelect);
  return fn ? fn(unit_, id, scope, 0, size, writable) : kAudioUnitErr_InvalidProperty;
}

OSStatus PluginInstance::getProperty(AudioUnitPropertyID id, AudioUnitScope scope, void* data,
                                     uint32_t* size) const {
  return AudioUnitGetProperty(unit_, id, scope, 0, data, size);
}

OSStatus PluginInstance::setProperty(AudioUnitPropertyID id, AudioUnitScope scope, const void* data,
                                     uint32_t size) {
  return AudioUnitSetProperty(unit_, id, scope, 0, data, size);
}

uint32_t PluginInstance::getU32(AudioUnitPropertyID id) const {
  uint32_t value = 0, size = sizeof value;
  OSStatus s = getProperty(id, kAudioUnitScope_Global, &value, &size);
  if (s != noErr)
    throw PluginError("get of property " + std::to_string(id) + " failed with " + StatusText(s));
  return value;
}

void PluginInstance::setU32(AudioUnitPropertyID id, uint32_t value) {
  OSStatus s = setProperty(id, kAudioUnitScope_Global, &value, sizeof value);
  if (s != noErr)
    throw PluginError("set of property " + std::to_string(id) + " failed with " + StatusText(s));
}

uint32_t PluginInstance::uniqueID() const { return getU32(kUniqueID); }
bool PluginInstance::connected() const { return getU32(kConnected) != 0; }
int32_t PluginInstance::activeArticulation() const {
  return static_cast<int32_t>(getU32(kActiveArticulation));
}
uint32_t PluginInstance::lastVelocity() const { return getU32(kLastVelocity); }

std::string PluginInstance::trackName() const {
  char name[256] = {};
  uint32_t size = sizeof name;
  OSStatus s = getProperty(kTrackName, kAudioUnitScope_Global, name, &size);
  if (s != noErr) throw PluginError("get of the track name failed with " + StatusText(s));
  return std::string(name, strnlen(name, sizeof name));
}

std::array<uint8_t, 16 * 128> PluginInstance::ccValues() const {
  std::array<uint8_t, 16 * 128> values{};
  uint32_t size = values.size();
  OSStatus s = getProperty(kCCValues, kAudioUnitScope_Global, values.data(), &size);
  if (s != noErr) throw PluginError("get of the CC values failed with " + StatusText(s));
  return values;
}

std::array<uint8_t, 128> PluginInstance::ccTriggered() const {
  std::array<uint8_t, 128> flags{};
  uint32_t size = flags.size();
  OSStatus s = getProperty(kCCTriggered, kAudioUnitScope_Global, flags.data(), &size);
  if (s != noErr) throw PluginError("get of the CC flags failed with " + StatusText(s));
  return flags;
}

void PluginInstance::setMIDIOutputCallback(AUMIDIOutputCallback callback, void* userData) {
  AUMIDIOutputCallbackStruct cb{callback, userData};
  OSStatus s =
      setProperty(kAudioUnitProperty_MIDIOutputCallback, kAudioUnitScope_Global, &cb, sizeof cb);
  if (s != noErr) throw PluginError("set of the MIDI output callback failed with " + StatusText(s));
}

PlistPtr PluginInstance::savedState() const {
  plist_t dict = nullptr;
  uint32_t size = sizeof dict;
  OSStatus s = getProperty(kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, &dict, &size);
  PlistPtr owned(dict);
  if (s != noErr) throw PluginError("get of the saved state failed with " + StatusText(s));
  if (!dict || plist_get_node_type(dict) != PLIST_DICT)
    throw PluginError("the saved state is not a dictionary");
  return owned;
}

void PluginInstance::restoreState(plist_t dictionary) {
  OSStatus s = setProperty(kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, &dictionary,
                           sizeof dictionary);
  if (s != noErr) throw PluginError("restore of the saved state failed with " + StatusText(s));
}

}  // namespace korvel::host
