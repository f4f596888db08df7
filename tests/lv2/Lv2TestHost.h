// A small LV2 host on lilv: loads the built Korvel.lv2, maps URIDs, and runs blocks of
// MIDI through an instance's atom ports.
#pragma once

#include <lilv/lilv.h>
#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/AudioComponent.h"

namespace korvel::test {

struct TimedMidi {
  int64_t frame;
  std::vector<uint8_t> bytes;
  bool operator==(const TimedMidi&) const = default;
};

class Lv2World {
 public:
  Lv2World() : world_(lilv_world_new()) {
    LilvNode* bundle = lilv_new_file_uri(world_, nullptr, KORVEL_LV2_BUNDLE "/");
    lilv_world_load_bundle(world_, bundle);
    lilv_node_free(bundle);
    LilvNode* uri = lilv_new_uri(world_, "urn:korvel:lv2");
    plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), uri);
    lilv_node_free(uri);
  }
  ~Lv2World() { lilv_world_free(world_); }
  LV2_URID map(const char* uri) {
    for (size_t i = 0; i < uris_.size(); ++i)
      if (uris_[i] == uri) return static_cast<LV2_URID>(i + 1);
    uris_.emplace_back(uri);
    return static_cast<LV2_URID>(uris_.size());
  }
  const LV2_Feature* const* features() { return features_; }
  const LilvPlugin* plugin = nullptr;

 private:
  LilvWorld* world_;
  std::vector<std::string> uris_;
  LV2_URID_Map map_{this, [](LV2_URID_Map_Handle h, const char* uri) { return static_cast<Lv2World*>(h)->map(uri); }};
  LV2_Feature mapFeature_{LV2_URID__map, &map_};
  const LV2_Feature* features_[2] = {&mapFeature_, nullptr};
};

// Saved state: key -> (type, bytes).
using Lv2State = std::map<LV2_URID, std::pair<LV2_URID, std::vector<uint8_t>>>;

class Lv2Instance {
 public:
  explicit Lv2Instance(Lv2World& world)
      : world_(world),
        instance_(lilv_plugin_instantiate(world.plugin, 48000, world.features())),
        chunkType_(world.map(LV2_ATOM__Chunk)) {
    lilv_instance_connect_port(instance_, 0, in_);
    lilv_instance_connect_port(instance_, 1, out_);
    lilv_instance_activate(instance_);
  }
  ~Lv2Instance() {
    lilv_instance_deactivate(instance_);
    lilv_instance_free(instance_);
  }
  AudioUnit unit() const { return static_cast<AudioUnit>(lilv_instance_get_handle(instance_)); }
  uint32_t property(AudioUnitPropertyID id) const {
    uint32_t value = 0, size = sizeof value;
    AudioUnitGetProperty(unit(), id, 0, 0, &value, &size);
    return value;
  }
  void setProperty(AudioUnitPropertyID id, const void* data, uint32_t size) {
    AudioUnitSetProperty(unit(), id, 0, 0, data, size);
  }

  // Fills midi_in with `events` and offers midi_out `capacity` bytes of body.
  void prepare(const std::vector<TimedMidi>& events, uint32_t capacity = kBufferBytes - sizeof(LV2_Atom)) {
    auto* in = reinterpret_cast<LV2_Atom_Sequence*>(in_);
    in->atom = {sizeof(LV2_Atom_Sequence_Body), world_.map(LV2_ATOM__Sequence)};
    in->body = {0, 0};
    for (const TimedMidi& e : events) {
      alignas(8) uint8_t event[sizeof(LV2_Atom_Event) + 256];
      auto* ev = reinterpret_cast<LV2_Atom_Event*>(event);
      ev->time.frames = e.frame;
      ev->body = {static_cast<uint32_t>(e.bytes.size()), world_.map(LV2_MIDI__MidiEvent)};
      std::memcpy(ev + 1, e.bytes.data(), e.bytes.size());
      lv2_atom_sequence_append_event(in, kBufferBytes - sizeof(LV2_Atom), ev);
    }
    std::memset(out_, 0xAA, sizeof out_);
    offerOutput(capacity);
  }
  // What a host does before every run: midi_out's atom announces the space it may fill.
  void offerOutput(uint32_t capacity = kBufferBytes - sizeof(LV2_Atom)) {
    *reinterpret_cast<LV2_Atom*>(out_) = {capacity, chunkType_};
  }
  void run(uint32_t frames = 256) { lilv_instance_run(instance_, frames); }
  std::vector<TimedMidi> output() const {
    std::vector<TimedMidi> events;
    LV2_ATOM_SEQUENCE_FOREACH(reinterpret_cast<const LV2_Atom_Sequence*>(out_), ev) {
      const auto* bytes = static_cast<const uint8_t*>(LV2_ATOM_BODY_CONST(&ev->body));
      events.push_back({ev->time.frames, {bytes, bytes + ev->body.size}});
    }
    return events;
  }
  const uint8_t* inBuffer() const { return in_; }
  const uint8_t* outBuffer() const { return out_; }

  Lv2State save() {
    Lv2State state;
    auto store = [](LV2_State_Handle h, uint32_t key, const void* value, size_t size, uint32_t type, uint32_t) {
      const auto* bytes = static_cast<const uint8_t*>(value);
      (*static_cast<Lv2State*>(h))[key] = {type, {bytes, bytes + size}};
      return LV2_STATE_SUCCESS;
    };
    stateInterface()->save(lilv_instance_get_handle(instance_), store, &state, 0, nullptr);
    return state;
  }
  void restore(const Lv2State& state) {
    auto retrieve = [](LV2_State_Handle h, uint32_t key, size_t* size, uint32_t* type, uint32_t* flags) -> const void* {
      const auto& s = *static_cast<const Lv2State*>(h);
      auto it = s.find(key);
      if (it == s.end()) return nullptr;
      *size = it->second.second.size();
      *type = it->second.first;
      *flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
      return it->second.second.data();
    };
    stateInterface()->restore(lilv_instance_get_handle(instance_), retrieve, const_cast<Lv2State*>(&state), 0,
                              nullptr);
  }

  static constexpr uint32_t kBufferBytes = 4096;

 private:
  const LV2_State_Interface* stateInterface() const {
    return static_cast<const LV2_State_Interface*>(lilv_instance_get_extension_data(instance_, LV2_STATE__interface));
  }
  Lv2World& world_;
  LilvInstance* instance_;
  LV2_URID chunkType_;
  alignas(8) uint8_t in_[kBufferBytes];
  alignas(8) uint8_t out_[kBufferBytes];
};

}  // namespace korvel::test
