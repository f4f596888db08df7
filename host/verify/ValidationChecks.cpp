#include "host/verify/ValidationChecks.h"
#include "host/verify/ScaleMeasures.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <stdexcept>
#include <vector>

#include "host/HostSupport.h"
#include "host/MainLoop.h"
#include "host/Plist.h"
#include "host/PluginBundle.h"
#include "host/PluginInstance.h"
#include "host/PropertyIDs.h"
#include "host/verify/AllocationCounter.h"
#include "host/verify/ElfExports.h"

namespace korvel::host {
namespace {

using Clock = std::chrono::steady_clock;

// A phase stops at its first failed expectation.
struct PhaseFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void Expect(bool ok, const std::string& what) {
  if (!ok) throw PhaseFailure(what);
}

std::string Ms(Clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f ms", std::chrono::duration<double, std::milli>(d).count());
  return text;
}

// Removes, at the end of a phase, a connection file that the phase made the plug-in
// write, unless it was already there before.
class ConnectionFileGuard {
 public:
  explicit ConnectionFileGuard(uint32_t uid)
      : path_(ConnectionFilePath(uid)), existed_(::access(path_.c_str(), F_OK) == 0) {}
  ~ConnectionFileGuard() {
    if (!existed_) ::unlink(path_.c_str());
  }

 private:
  std::string path_;
  bool existed_;
};

// ---- bundle and exports ----------------------------------------------------------

PhaseResult BundleAndExports(ValidationContext& ctx) {
  const BundleInfo& info = ctx.bundle.info();
  const ComponentRegistration& c = info.component;
  Expect(c.type == "aumi", "component type is \"" + c.type + "\", not \"aumi\"");
  Expect(c.factoryFunction == "KorvelAUFactory",
         "factoryFunction is \"" + c.factoryFunction + "\"");
  Expect(ctx.bundle.hasMainQueueHooks(),
         "Korvel_MainQueueFD / Korvel_RunMainQueue are not exported");
  const std::set<std::string> allowed = {
      "KorvelAUFactory", "Korvel_GetCocoaUIInfo", "HXLoc",
      "HXLocFB",         "Korvel_MainQueueFD",    "Korvel_RunMainQueue"};
  // What the static linker itself always defines in a shared object.
  const std::set<std::string> linkerDefined = {"_init", "_fini", "_edata", "_end", "__bss_start"};
  std::vector<std::string> exported = ReadExportedSymbols(info.sharedObjectPath);
  std::set<std::string> seen;
  std::string viewFactory;
  std::vector<std::string> unexpected;
  for (const std::string& name : exported) {
    if (linkerDefined.count(name)) continue;
    seen.insert(name);
    if (allowed.count(name)) continue;
    // The view factory's entry is the one further plain C name allowed.
    if (name.find("ViewFactory") != std::string::npos && name.rfind("_Z", 0) != 0 &&
        viewFactory.empty()) {
      viewFactory = name;
      continue;
    }
    unexpected.push_back(name);
  }
  if (!unexpected.empty())
    throw PhaseFailure(std::to_string(unexpected.size()) +
                       " exported symbol(s) beyond the plain C entry points, first " +
                       unexpected.front());
  for (const std::string& name : allowed)
    Expect(seen.count(name), "required symbol " + name + " is not exported");
  Expect(!viewFactory.empty(), "no view-factory entry is exported");
  return {Outcome::Pass, std::to_string(seen.size()) + " plain C exports, view factory " +
                             viewFactory + ", version " + std::to_string(c.version)};
}

// ---- open times --------------------------------------------------------------------

PhaseResult OpenTimes(ValidationContext& ctx) {
  auto t0 = Clock::now();
  auto first = std::make_unique<PluginInstance>(ctx.bundle);
  auto cold = Clock::now() - t0;
  first.reset();
  std::vector<Clock::duration> warm;
  for (int i = 0; i < 21; ++i) {
    auto t = Clock::now();
    PluginInstance instance(ctx.bundle);
    warm.push_back(Clock::now() - t);
  }
  std::sort(warm.begin(), warm.end());
  auto median = warm[warm.size() / 2];
  std::string detail = "cold " + Ms(cold) + ", warm " + Ms(median) + " (median of 21)";
  // Generous limits (the benchmarks measure the real cost): a host's main thread stalls
  // this long per instance while it loads a project. With a JACK server each open
  // registers a port, which takes the server a few cycles.
  Expect(cold < std::chrono::seconds(2), "cold open too slow: " + detail);
  Expect(median < std::chrono::milliseconds(250), "warm open too slow: " + detail);
  return {Outcome::Pass, detail};
}

// ---- selectors ---------------------------------------------------------------------

PhaseResult Selectors(ValidationContext& ctx) {
  PluginInstance instance(ctx.bundle);
  const int16_t present[] = {1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 14, 17, 18, 0x101, 0x102};
  const int16_t absent[] = {0, 8, 12, 13, 15, 16, 19, 0x100, 0x103, -1};
  for (int16_t s : present)
    Expect(instance.lookup(s) != nullptr, "no handler for selector " + std::to_string(s));
  for (int16_t s : absent)
    Expect(instance.lookup(s) == nullptr,
           "a handler for unsupported selector " + std::to_string(s));
  auto getParam =
      reinterpret_cast<AudioUnitGetParameterProc>(instance.lookup(kAudioUnitGetParameterSelect));
  for (uint32_t id : {0u, 7u, 0xFFFFFFFFu}) {
    float value = 1.5f;
    Expect(getParam(instance.handle(), id, 0, 0, &value) == noErr && value == 0.0f,
           "GetParameter " + std::to_string(id) + " does not answer 0.0");
  }
  Expect(instance.initialize() == noErr && instance.uninitialize() == noErr,
         "Initialize/Uninitialize do not answer 0");
  return {Outcome::Pass, "15 selectors answered, 10 refused"};
}

// ---- properties --------------------------------------------------------------------

struct PropertySpec {
  uint32_t id;
  const char* name;
  bool hasInfo;
  uint32_t size;
  bool writable;
  bool gettable;
  bool settable;
};

const PropertySpec kProperties[] = {
    {0, "ClassInfo", true, 8, true, true, true},
    {8, "StreamFormat", true, 40, true, true, true},
    {11, "ElementCount", true, 4, false, true, false},
    {13, "SupportedNumChannels", true, 4, false, true, false},
    {14, "MaximumFramesPerSlice", true, 4, true, true, true},
    {23, "SetRenderCallback", false, 0, false, false, true},
    {27, "HostCallbacks", true, 40, true, false, true},
    {31, "CocoaUI", true, 16, false, true, false},
    {36, "PresentPreset", true, 16, true, true, true},
    {47, "MIDIOutputCallbackInfo", true, 8, false, true, false},
    {48, "MIDIOutputCallback", true, 16, true, false, true},
    {kCCValues, "CCValues", true, 2048, false, true, false},
    {kUniqueID, "UniqueID", true, 4, true, true, true},
    {kConnected, "Connected", true, 4, true, true, true},
    {kTrackName, "TrackName", true, 256, true, true, true},
    {kActiveArticulation, "ActiveArticulation", true, 4, false, true, false},
    {kLastVelocity, "LastVelocity", true, 4, false, true, false},
    {kArticulationNotes, "ArticulationNotes", true, 512, true, false, true},
    {kPendingEvents, "PendingEvents", true, 1028, false, true, false},
    {kActiveTrack, "ActiveTrack", true, 4, true, true, true},
    {kCompanionCommand, "CompanionCommand", true, 4, true, false, true},
    {kCCTriggered, "CCTriggered", true, 128, false, true, false},
};

std::string Prop(const PropertySpec& p) { return std::to_string(p.id) + " (" + p.name + ")"; }

std::string RealPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return path;
  std::string s(resolved);
  free(resolved);
  return s;
}

// The objects a get hands over are the caller's; they are checked and freed here.
void CheckReturnedObjects(const PluginBundle& bundle, uint32_t id, std::vector<uint8_t>& data) {
  if (id == kAudioUnitProperty_ClassInfo || id == kAudioUnitProperty_MIDIOutputCallbackInfo) {
    plist_t node;
    std::memcpy(&node, data.data(), sizeof node);
    PlistPtr owned(node);
    if (id == kAudioUnitProperty_ClassInfo) {
      Expect(node && plist_get_node_type(node) == PLIST_DICT, "saved state is not a dictionary");
    } else {
      Expect(node && plist_get_node_type(node) == PLIST_ARRAY && plist_array_get_size(node) == 1 &&
                 PlistString(plist_array_get_item(node, 0)) == "MIDI Out",
             "MIDI output names are not the one string \"MIDI Out\"");
    }
  } else if (id == kAudioUnitProperty_CocoaUI) {
    AudioUnitCocoaViewInfo info;
    std::memcpy(&info, data.data(), sizeof info);
    PlistPtr url(info.mCocoaAUViewBundleLocation), cls(info.mCocoaAUViewClass[0]);
    auto urlText = PlistString(url.get()).value_or("");
    Expect(urlText.rfind("file://", 0) == 0, "CocoaUI location \"" + urlText + "\" is no file URL");
    std::string where = urlText.substr(7);
    while (where.size() > 1 && where.back() == '/') where.pop_back();
    Expect(RealPath(where) == RealPath(bundle.info().bundlePath),
           "CocoaUI location " + urlText + " is not the bundle");
    Expect(PlistString(cls.get()) == "KorvelViewFactory", "CocoaUI class is not KorvelViewFactory");
  } else if (id == kAudioUnitProperty_PresentPreset) {
    AUPreset preset;
    std::memcpy(&preset, data.data(), sizeof preset);
    Expect(preset.presetNumber == -1, "preset number is not -1");
    Expect(PlistString(preset.presetName) == "Korvel", "preset name is not \"Korvel\"");
    if (preset.presetName)
      plist_free(preset.presetName);  // the caller owns it, like every object handed out
  }
}

void CheckInfoGetAndRefusedSets(const PluginBundle& bundle, PluginInstance& unit) {
  for (const PropertySpec& p : kProperties) {
    uint32_t size = 0xDEAD;
    Boolean writable = 0x55;
    OSStatus s = unit.getPropertyInfo(p.id, kAudioUnitScope_Global, &size, &writable);
    if (!p.hasInfo) {
      Expect(s == kAudioUnitErr_InvalidProperty, "info of " + Prop(p) + " should be refused");
    } else {
      Expect(s == noErr, "info of " + Prop(p) + " answers " + std::to_string(s));
      Expect(size == p.size, "info of " + Prop(p) + " gives size " + std::to_string(size) +
                                 ", declared " + std::to_string(p.size));
      Expect(bool(writable) == p.writable, "info of " + Prop(p) + " gives the wrong writable flag");
      Expect(unit.getPropertyInfo(p.id, kAudioUnitScope_Global, nullptr, nullptr) == noErr,
             "info of " + Prop(p) + " with null outputs fails");
    }

    std::vector<uint8_t> data(4096, 0xCD);
    uint32_t dataSize = std::max<uint32_t>(p.size, 8);
    s = unit.getProperty(p.id, kAudioUnitScope_Global, data.data(), &dataSize);
    if (!p.gettable) {
      Expect(s == kAudioUnitErr_InvalidProperty, "get of " + Prop(p) + " should be refused");
    } else {
      Expect(s == noErr, "get of " + Prop(p) + " answers " + std::to_string(s));
      if (p.id == kPendingEvents)
        Expect(dataSize >= 4 && dataSize <= p.size && (dataSize - 4) % 4 == 0,
               "drain returns size " + std::to_string(dataSize));
      else
        Expect(dataSize == p.size, "get of " + Prop(p) + " returns size " +
                                       std::to_string(dataSize) + ", declared " +
                                       std::to_string(p.size));
      CheckReturnedObjects(bundle, p.id, data);
    }

    if (!p.settable) {
      std::vector<uint8_t> zeros(std::max<uint32_t>(p.size, 4), 0);
      Expect(unit.setProperty(p.id, kAudioUnitScope_Global, zeros.data(), zeros.size()) ==
                 kAudioUnitErr_InvalidProperty,
             "set of read-only " + Prop(p) + " should be refused");
    }
  }

  for (uint32_t id : {1u, 7u, 65000u, 65007u, 65013u, 0xFFFFFFFFu}) {
    uint32_t size = 0, value = 0;
    Boolean writable = 0;
    std::string what = "unknown property " + std::to_string(id);
    Expect(unit.getPropertyInfo(id, 0, &size, &writable) == kAudioUnitErr_InvalidProperty,
           "info of " + what + " should be refused");
    size = 4;
    Expect(unit.getProperty(id, 0, &value, &size) == kAudioUnitErr_InvalidProperty,
           "get of " + what + " should be refused");
    Expect(unit.setProperty(id, 0, &value, 4) == kAudioUnitErr_InvalidProperty,
           "set of " + what + " should be refused");
  }
  for (AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output}) {
    uint8_t data[16];
    uint32_t size = sizeof data;
    Expect(unit.getPropertyInfo(kAudioUnitProperty_CocoaUI, scope, &size, nullptr) ==
                   kAudioUnitErr_InvalidProperty &&
               unit.getProperty(kAudioUnitProperty_CocoaUI, scope, data, &size) ==
                   kAudioUnitErr_InvalidProperty,
           "CocoaUI answers outside the global scope");
  }
}

void CheckSets(PluginInstance& unit) {
  const AudioUnitScope g = kAudioUnitScope_Global;

  AudioStreamBasicDescription format{}, changed{}, back{};
  uint32_t size = sizeof format;
  unit.getProperty(kAudioUnitProperty_StreamFormat, g, &format, &size);
  Expect(format.mSampleRate == 48000.0 && format.mFormatID == kAudioFormatLinearPCM &&
             format.mChannelsPerFrame == 1 && format.mBitsPerChannel == 32,
         "stream format is not 48 kHz mono 32-bit linear PCM");
  changed = format;
  changed.mSampleRate = 44100.0;
  Expect(unit.setProperty(kAudioUnitProperty_StreamFormat, g, &changed, 40) == noErr,
         "set of the stream format fails");
  Expect(unit.setProperty(kAudioUnitProperty_StreamFormat, g, &format, 20) == noErr,
         "a short stream format is not ignored with 0");
  size = sizeof back;
  unit.getProperty(kAudioUnitProperty_StreamFormat, g, &back, &size);
  Expect(std::memcmp(&back, &changed, sizeof back) == 0,
         "stream format does not read back as set (or a short one changed it)");
  unit.setProperty(kAudioUnitProperty_StreamFormat, g, &format, 40);

  unit.setU32(kAudioUnitProperty_MaximumFramesPerSlice, 512);
  Expect(unit.getU32(kAudioUnitProperty_MaximumFramesPerSlice) == 512,
         "maximum frames per slice does not read back");
  unit.setU32(kAudioUnitProperty_MaximumFramesPerSlice, 1024);

  uint8_t zeros[40] = {};
  for (uint32_t id : {kAudioUnitProperty_SetRenderCallback, kAudioUnitProperty_HostCallbacks,
                      kAudioUnitProperty_PresentPreset})
    Expect(
        unit.setProperty(id, g, zeros, id == kAudioUnitProperty_HostCallbacks ? 40 : 16) == noErr,
        "set of property " + std::to_string(id) + " is not accepted");

  uint32_t uid = unit.uniqueID();
  uint32_t other = (RandomU32() | 0x10000000u) & 0x7FFFFFFFu;
  if (other == uid) other ^= 1;
  unit.setU32(kUniqueID, other);
  Expect(unit.uniqueID() == other, "UID does not read back as set");
  ConnectionFileGuard guard(other);

  Expect(unit.trackName().empty(), "a fresh instance has a track name");
  unit.setU32(kConnected, 1);
  Expect(unit.connected(), "connected flag does not read back 1");
  unit.setU32(kConnected, 0);
  Expect(!unit.connected(), "connected flag does not read back 0");

  std::string longName(300, 'k');
  for (size_t i = 0; i < longName.size(); ++i) longName[i] = char('a' + i % 26);
  Expect(unit.setProperty(kTrackName, g, longName.data(), longName.size()) == noErr,
         "set of a 300-byte track name fails");
  Expect(unit.trackName() == longName.substr(0, 255), "a long track name is not cut to 255 bytes");
  char empty = 0;
  Expect(unit.setProperty(kTrackName, g, &empty, 0) == noErr && unit.trackName().empty(),
         "a zero-length track name does not empty it");

  unit.reset();
  int32_t notes[150];
  for (int i = 0; i < 150; ++i) notes[i] = i;
  Expect(unit.setProperty(kArticulationNotes, g, notes, sizeof notes) == noErr,
         "set of 600 bytes of articulation notes fails");
  unit.midiEvent(0x90, 127, 100, 0);
  Expect(unit.activeArticulation() == 127 && unit.lastVelocity() == 0,
         "note 127 is not a keyswitch after 150 articulation notes were set");
  Expect(unit.setProperty(kArticulationNotes, g, notes, 2) == noErr, "set of 2 bytes fails");
  unit.midiEvent(0x90, 60, 90, 0);
  Expect(unit.activeArticulation() == 127 && unit.lastVelocity() == 90,
         "a 2-byte articulation list did not clear the list");

  unit.setU32(kActiveTrack, 1);
  Expect(unit.getU32(kActiveTrack) == 1, "active-track flag does not read back 1");
  unit.setU32(kActiveTrack, 0);
  Expect(unit.getU32(kActiveTrack) == 0, "active-track flag does not read back 0");
  unit.setU32(kCompanionCommand, 3);
  unit.setU32(kCompanionCommand, 0);

  uint8_t drained[1028];
  size = sizeof drained;
  unit.getProperty(kPendingEvents, g, drained, &size);
  size = sizeof drained;
  unit.getProperty(kPendingEvents, g, drained, &size);
  uint32_t count;
  std::memcpy(&count, drained, 4);
  Expect(size == 4 && count == 0, "a second drain in a row is not empty");
}

PhaseResult Properties(ValidationContext& ctx) {
  PluginInstance unit(ctx.bundle);
  CheckInfoGetAndRefusedSets(ctx.bundle, unit);
  CheckSets(unit);
  return {Outcome::Pass, std::to_string(std::size(kProperties)) +
                             " properties consistent with their declared size and writability"};
}

// ---- render ------------------------------------------------------------------------

PhaseResult Render(ValidationContext& ctx) {
  PluginInstance unit(ctx.bundle);
  constexpr size_t kGuard = 16;
  for (uint32_t frames : {1u, 15u, 256u, 1024u, 4096u}) {
    std::vector<std::vector<uint8_t>> storage(3, std::vector<uint8_t>(frames * 4 + kGuard, 0x5A));
    std::vector<uint8_t> listBytes(offsetof(AudioBufferList, mBuffers) + 3 * sizeof(AudioBuffer));
    auto* list = reinterpret_cast<AudioBufferList*>(listBytes.data());
    list->mNumberBuffers = 3;
    for (int b = 0; b < 3; ++b) {
      list->mBuffers[b].mNumberChannels = 1;
      list->mBuffers[b].mDataByteSize = frames * 4;
      list->mBuffers[b].mData = b == 1 ? nullptr : storage[b].data();
    }
    AudioUnitRenderActionFlags flags = 0x1234;
    AudioTimeStamp time{};
    Expect(unit.render(&flags, &time, frames, list) == noErr, "render answers an error");
    Expect(flags == 0x1234, "render changed the action flags");
    for (int b : {0, 2}) {
      const auto& buf = storage[b];
      Expect(
          std::all_of(buf.begin(), buf.begin() + frames * 4, [](uint8_t v) { return v == 0; }),
          "buffer " + std::to_string(b) + " not zeroed at " + std::to_string(frames) + " frames");
      Expect(std::all_of(buf.end() - kGuard, buf.end(), [](uint8_t v) { return v == 0x5A; }),
             "render wrote past buffer " + std::to_string(b));
    }
    Expect(list->mBuffers[1].mData == nullptr, "render replaced a null data pointer");
  }
  AudioUnitRenderActionFlags flags = 0;
  Expect(unit.render(&flags, nullptr, 256, nullptr) == noErr, "render of a null buffer list fails");
  return {Outcome::Pass, "1, 15, 256, 1024, 4096 frames; null data pointers skipped"};
}

// ---- MIDI thru ---------------------------------------------------------------------

struct ThruCapture {
  struct Packet {
    std::vector<uint8_t> bytes;
    uint64_t time;
  };
  std::vector<Packet> packets;
  int calls = 0;
  bool badHeader = false;

  static OSStatus Callback(void* user, const AudioTimeStamp* ts, uint32_t out,
                           const MIDIPacketList* list) {
    auto* self = static_cast<ThruCapture*>(user);
    ++self->calls;
    AudioTimeStamp zero{};
    if (out != 0 || !ts || std::memcmp(ts, &zero, sizeof zero) != 0 || list->numPackets != 1)
      self->badHeader = true;
    const MIDIPacket* p = list->packet;
    uint64_t time;
    std::memcpy(&time, &p->timeStamp, sizeof time);
    self->packets.push_back({std::vector<uint8_t>(p->data, p->data + p->length), time});
    return noErr;
  }
};

PhaseResult MIDIThru(ValidationContext& ctx) {
  PluginInstance unit(ctx.bundle);
  ThruCapture capture;
  unit.setMIDIOutputCallback(&ThruCapture::Callback, &capture);
  struct Case {
    uint32_t status, d1, d2;
    std::vector<uint8_t> expected;
  };
  const Case cases[] = {
      {0x90, 60, 100, {0x90, 60, 100}},
      {0x80, 60, 0, {0x80, 60, 0}},
      {0x90, 61, 0, {0x90, 61, 0}},
      {0xA1, 60, 10, {0xA1, 60, 10}},
      {0xB3, 1, 64, {0xB3, 1, 64}},
      {0xC5, 7, 99, {0xC5, 7}},
      {0xD0, 50, 9, {0xD0, 50}},
      {0xE2, 0, 64, {0xE2, 0, 64}},
      {0xF8, 0, 0, {0xF8, 0, 0}},
      {0x90, 0x85, 0x90, {0x90, 0x85, 0x90}},
      {0x1B0, 0x101, 0x17F, {0xB0, 0x01, 0x7F}},
  };
  for (const Case& c : cases) {
    capture.packets.clear();
    capture.calls = 0;
    unit.midiEvent(c.status, c.d1, c.d2, 17);
    char what[64];
    std::snprintf(what, sizeof what, "event %02X %02X %02X", c.status, c.d1, c.d2);
    Expect(capture.calls == 1 && capture.packets.size() == 1,
           std::string(what) + " was not passed on exactly once");
    Expect(!capture.badHeader,
           std::string(what) + ": output number, time stamp or packet count wrong");
    Expect(capture.packets[0].time == 0, std::string(what) + ": packet time is not 0");
    Expect(capture.packets[0].bytes == c.expected, std::string(what) + ": wrong bytes or length");
  }
  AUMIDIOutputCallbackStruct short_{&ThruCapture::Callback, nullptr};
  Expect(unit.setProperty(kAudioUnitProperty_MIDIOutputCallback, 0, &short_, 8) == noErr,
         "a short MIDI output callback is not ignored with 0");
  unit.setMIDIOutputCallback(nullptr, nullptr);
  capture.calls = 0;
  unit.midiEvent(0xB0, 11, 100, 0);
  Expect(capture.calls == 0, "events still passed on after the callback was removed");
  Expect(unit.ccValues()[11] == 100, "an event without a callback was not recorded");
  return {Outcome::Pass, std::to_string(std::size(cases)) +
                             " messages passed on with the right bytes and lengths"};
}

// ---- saved state -------------------------------------------------------------------

void CheckSavedStateFormat(plist_t state, uint32_t uid) {
  auto intKey = [&](const char* key) {
    auto v = PlistInteger(PlistDictItem(state, key));
    Expect(v.has_value(), std::string("saved state has no integer \"") + key + "\"");
    return static_cast<int32_t>(*v);
  };
  Expect(intKey("version") == 0, "saved \"version\" is not 0");
  Expect(uint32_t(intKey("type")) == FourCharCode("aumi"), "saved \"type\" is not 'aumi'");
  Expect(uint32_t(intKey("subtype")) == FourCharCode("krv2"), "saved \"subtype\" is not 'krv2'");
  Expect(uint32_t(intKey("manufacturer")) == FourCharCode("Tlvn"),
         "saved \"manufacturer\" is not 'Tlvn'");
  Expect(PlistString(PlistDictItem(state, "name")) == "Korvel", "saved \"name\" is not Korvel");
  Expect(uint32_t(intKey("tvUniqueID")) == uid, "saved \"tvUniqueID\" is not the instance's UID");
  Expect(intKey("tvConnected") == 0, "saved \"tvConnected\" of an unlinked instance is not 0");
  Expect(!PlistDictItem(state, "tvTrackName"), "an empty track name was saved");
}

PhaseResult SavedState(ValidationContext& ctx) {
  auto first = std::make_unique<PluginInstance>(ctx.bundle);
  uint32_t firstUID = first->uniqueID();
  Expect(firstUID != 0, "an open instance has UID 0");
  PlistPtr saved = first->savedState();
  CheckSavedStateFormat(saved.get(), firstUID);

  // A project saved elsewhere: a UID above 0x7FFFFFFF (negative in the dictionary), linked.
  uint32_t uid = RandomU32() | 0x80000000u;
  ConnectionFileGuard guard(uid);
  PlistPtr project(plist_new_dict());
  plist_dict_set_item(project.get(), "tvUniqueID", plist_new_uint(uint64_t(int64_t(int32_t(uid)))));
  plist_dict_set_item(project.get(), "tvConnected", plist_new_uint(1));
  plist_dict_set_item(project.get(), "tvTrackName", plist_new_string("Cellos \xE2\x99\xAA"));
  PluginInstance restored(ctx.bundle);
  restored.restoreState(project.get());
  Expect(restored.uniqueID() == uid, "restore did not take UID " + Hex(uid));
  Expect(restored.connected(), "restore did not take the connected flag");
  Expect(restored.trackName() == "Cellos \xE2\x99\xAA", "restore did not take the track name");
  PlistPtr again = restored.savedState();
  Expect(PlistInteger(PlistDictItem(again.get(), "tvUniqueID")) == int64_t(int32_t(uid)),
         "UID " + Hex(uid) + " is not saved as the negative 32-bit number");

  PlistPtr notADictionary(plist_new_string("state"));
  restored.restoreState(notADictionary.get());
  Expect(restored.uniqueID() == uid, "restoring a non-dictionary changed the UID");

  // A closed instance's UID is free again for its saved state.
  first.reset();
  PluginInstance reopened(ctx.bundle);
  reopened.restoreState(saved.get());
  Expect(reopened.uniqueID() == firstUID, "a closed instance's UID could not be restored");
  return {Outcome::Pass, "dictionary keys and types; UIDs " + Hex(firstUID) + " and " + Hex(uid) +
                             " restored with their link"};
}

PhaseResult DuplicateRestore(ValidationContext& ctx) {
  PluginInstance original(ctx.bundle);
  uint32_t uid = original.uniqueID();
  PlistPtr saved = original.savedState();
  plist_dict_set_item(saved.get(), "tvConnected", plist_new_uint(1));
  plist_dict_set_item(saved.get(), "tvTrackName", plist_new_string("Horns"));

  PluginInstance copy(ctx.bundle);
  StderrCapture capture;
  copy.restoreState(saved.get());
  std::string log = capture.finish();
  uint32_t fresh = copy.uniqueID();
  Expect(fresh != uid && fresh != 0, "the duplicate kept UID " + Hex(uid));
  Expect(!copy.connected() && copy.trackName().empty(), "the duplicate took over the saved link");
  Expect(original.uniqueID() == uid, "the original lost its UID");
  std::string line =
      "Korvel: duplicated UID " + Hex(uid) + " detected, assigned fresh UID " + Hex(fresh);
  Expect(log.find(line) != std::string::npos, "no log line \"" + line + "\"");
  return {Outcome::Pass, "second copy of " + Hex(uid) + " became " + Hex(fresh) + " and logged it"};
}

// ---- open/close cycles -------------------------------------------------------------

// Bytes handed out by malloc, from the arenas and as separate mappings.
long HeapInUse() {
  struct mallinfo2 info = mallinfo2();
  return static_cast<long>(info.uordblks + info.hblkhd);
}

void Cycle(ValidationContext& ctx) {
  PluginInstance unit(ctx.bundle);
  unit.initialize();
  PlistPtr state = unit.savedState();
  unit.midiEvent(0xB0, 1, 64, 0);
  unit.uninitialize();
}

PhaseResult OpenCloseCycles(ValidationContext& ctx) {
  // A closed record lives on until its 300 ms one-shot task has run on the main queue,
  // so cycles run back to back hold every record at once and the heap grows to fit them
  // all. A first, equal round of cycles sets that high-water mark; only growth beyond
  // it in the measured round is a leak.
  for (int i = 0; i < ctx.cycles; ++i) Cycle(ctx);
  ctx.loop.runFor(std::chrono::milliseconds(500));
  long residentBefore = ResidentKiB();
  long heapBefore = HeapInUse();
  int threadsBefore = ThreadCount();
  for (int i = 0; i < ctx.cycles; ++i) Cycle(ctx);
  ctx.loop.runFor(std::chrono::milliseconds(500));
  long growthKiB = ResidentKiB() - residentBefore;
  long heapKiB = (HeapInUse() - heapBefore) / 1024;
  int threadsAfter = ThreadCount();
  auto signedKiB = [](long v) { return (v >= 0 ? "+" : "") + std::to_string(v) + " KiB"; };
  std::string detail = std::to_string(ctx.cycles) + " cycles: resident memory " +
                       signedKiB(growthKiB) + ", heap in use " + signedKiB(heapKiB) + ", threads " +
                       std::to_string(threadsBefore) + " -> " + std::to_string(threadsAfter);
  Expect(threadsAfter <= threadsBefore, "threads grew: " + detail);
#ifdef KORVEL_SANITIZED
  // The sanitizer's allocator keeps freed memory in quarantine and has no mallinfo:
  // here LeakSanitizer, at exit, is the memory check.
  return {Outcome::Pass, "threads " + std::to_string(threadsBefore) + " -> " +
                             std::to_string(threadsAfter) +
                             "; memory left to LeakSanitizer in this build"};
#else
  // A leaked instance record alone is several KiB, so a hundred leaks show up clearly
  // above the allocator's own noise.
  Expect(growthKiB <= 256 && heapKiB <= 64, "memory grew: " + detail);
  return {Outcome::Pass, detail};
#endif
}

// ---- real-time allocations ---------------------------------------------------------

OSStatus CountThru(void* user, const AudioTimeStamp*, uint32_t, const MIDIPacketList*) {
  ++*static_cast<uint64_t*>(user);
  return noErr;
}

uint64_t Burst(PluginInstance& unit, int rounds) {
  float samples[256];
  AudioBufferList list{};
  list.mNumberBuffers = 1;
  list.mBuffers[0] = {1, sizeof samples, samples};
  AudioTimeStamp time{};
  ThreadAllocationCount counter;
  for (int r = 0; r < rounds; ++r) {
    for (uint32_t i = 0; i < 128; ++i) {
      unit.midiEvent(0xB0 | (i & 15), i, (i * 7 + r) & 127, i);
      unit.midiEvent(0x90, 24 + (i & 3), 1 + (i & 63), i);
      unit.midiEvent(0xE0, i, (r + i) & 127, i);
      unit.midiEvent(0xD1, (i + r) & 127, 0, i);
    }
    AudioUnitRenderActionFlags flags = 0;
    unit.render(&flags, &time, 256, &list);
  }
  return counter.count();
}

PhaseResult RealtimeAllocations(ValidationContext& ctx) {
  if (!AllocationCountingAvailable())
    return {Outcome::Skip, "sanitizer build: malloc belongs to the sanitizer runtime"};
  PluginInstance unit(ctx.bundle);
  uint64_t thru = 0;
  unit.setMIDIOutputCallback(&CountThru, &thru);
  int32_t keyswitches[] = {24, 25, 26};
  unit.setProperty(kArticulationNotes, 0, keyswitches, sizeof keyswitches);
  // Linked to the active track, so that the companion queue is exercised as well.
  unit.setU32(kConnected, 1);
  unit.setU32(kActiveTrack, 1);
  Burst(unit, 2);
  uint64_t allocations = Burst(unit, 20);
  unit.setU32(kActiveTrack, 0);
  unit.setU32(kConnected, 0);
  Expect(thru > 0, "no thru during the burst");
  Expect(allocations == 0,
         std::to_string(allocations) + " allocations during 10240 MIDI events and 20 renders");
  return {Outcome::Pass, "0 allocations during 10240 MIDI events and 20 renders"};
}

}  // namespace

const std::vector<ValidationPhase>& ValidationPhases() {
  static const std::vector<ValidationPhase> phases = {
      {"bundle and exports", &BundleAndExports},
      {"open times", &OpenTimes},
      {"selectors", &Selectors},
      {"properties", &Properties},
      {"render", &Render},
      {"MIDI thru", &MIDIThru},
      {"save and restore", &SavedState},
      {"duplicate restore", &DuplicateRestore},
      {"open/close cycles", &OpenCloseCycles},
      {"real-time allocations", &RealtimeAllocations},
  };
  return phases;
}

}  // namespace korvel::host
