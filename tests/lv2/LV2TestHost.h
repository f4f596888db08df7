// A small LV2 host on lilv: loads the built Korvel.lv2, maps URIDs, runs blocks of MIDI
// through an instance's atom ports and saves and restores its state.
#pragma once

#include <lilv/lilv.h>
#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "platform/AudioComponent.h"

namespace korvel::test {

struct TimedMIDI {
  int64_t frame;
  std::vector<uint8_t> bytes;
  bool operator==(const TimedMIDI&) const = default;
};

class LV2World {
 public:
  LV2World() {
    LilvNode* bundle = lilv_new_file_uri(world_, nullptr, KORVEL_LV2_BUNDLE "/");
    LilvNode* uri = lilv_new_uri(world_, "urn:korvel:lv2");
    lilv_world_load_bundle(world_, bundle);
    plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), uri);
    lilv_node_free(bundle);
    lilv_node_free(uri);
  }
  ~LV2World() { lilv_world_free(world_); }
  LV2_URID map(const std::string& uri) {
    return uris_.emplace(uri, uris_.size() + 1).first->second;
  }

  const LilvPlugin* plugin = nullptr;
  LV2_URID_Map map_{this, [](LV2_URID_Map_Handle h, const char* uri) {
                      return static_cast<LV2World*>(h)->map(uri);
                    }};
  LV2_Feature mapFeature_{LV2_URID__map, &map_};
  const LV2_Feature* features[2] = {&mapFeature_, nullptr};

 private:
  LilvWorld* world_ = lilv_world_new();
  std::map<std::string, LV2_URID> uris_;
};

// Saved state: key -> (type, bytes).
using LV2State = std::map<LV2_URID, std::pair<LV2_URID, std::vector<uint8_t>>>;

class LV2Instance {
 public:
  static constexpr uint32_t kBufferBytes = 4096, kCapacity = kBufferBytes - sizeof(LV2_Atom);

  explicit LV2Instance(LV2World& world) : world_(world) {
    lilv_instance_connect_port(instance_, 0, in_);
    lilv_instance_connect_port(instance_, 1, out_);
    lilv_instance_activate(instance_);
  }
  ~LV2Instance() {
    lilv_instance_deactivate(instance_);
    lilv_instance_free(instance_);
  }
  AudioUnit unit() const { return static_cast<AudioUnit>(lilv_instance_get_handle(instance_)); }
  // The first four bytes of a property (up to 256 bytes long).
  uint32_t property(AudioUnitPropertyID id) const {
    alignas(4) uint8_t data[256] = {};
    uint32_t size = sizeof data, value;
    AudioUnitGetProperty(unit(), id, 0, 0, data, &size);
    std::memcpy(&value, data, sizeof value);
    return value;
  }

  // Fills midi_in with `events`; midi_out is offered `capacity` bytes, the rest marked.
  void prepare(const std::vector<TimedMIDI>& events, uint32_t capacity = kCapacity) {
    auto* in = reinterpret_cast<LV2_Atom_Sequence*>(in_);
    *in = {{sizeof(LV2_Atom_Sequence_Body), world_.map(LV2_ATOM__Sequence)}, {0, 0}};
    for (const TimedMIDI& e : events) {
      alignas(8) uint8_t event[sizeof(LV2_Atom_Event) + 256];
      auto* ev = new (event)
          LV2_Atom_Event{{e.frame}, {uint32_t(e.bytes.size()), world_.map(LV2_MIDI__MidiEvent)}};
      std::memcpy(ev + 1, e.bytes.data(), e.bytes.size());
      lv2_atom_sequence_append_event(in, kCapacity, ev);
    }
    std::memset(out_, 0xAA, sizeof out_);
    offerOutput(capacity);
  }
  // What a host does before every run.
  void offerOutput(uint32_t capacity = kCapacity) {
    *reinterpret_cast<LV2_Atom*>(out_) = {capacity, chunkType_};
  }
  void run(uint32_t frames = 256) { lilv_instance_run(instance_, frames); }
  std::vector<TimedMIDI> output() const {
    std::vector<TimedMIDI> events;
    LV2_ATOM_SEQUENCE_FOREACH(reinterpret_cast<const LV2_Atom_Sequence*>(out_), ev) {
      const auto* bytes = static_cast<const uint8_t*>(LV2_ATOM_BODY_CONST(&ev->body));
      events.push_back({ev->time.frames, {bytes, bytes + ev->body.size}});
    }
    return events;
  }
  const uint8_t* inBuffer() const { return in_; }
  const uint8_t* outBuffer() const { return out_; }

  LV2State save() {
    LV2State state;
    state_->save(
        handle(),
        [](LV2_State_Handle h, uint32_t key, const void* value, size_t size, uint32_t type,
           uint32_t) {
          const auto* bytes = static_cast<const uint8_t*>(value);
          (*static_cast<LV2State*>(h))[key] = {type, {bytes, bytes + size}};
          return LV2_STATE_SUCCESS;
        },
        &state, 0, nullptr);
    return state;
  }
  void restore(LV2State state) {
    state_->restore(
        handle(),
        [](LV2_State_Handle h, uint32_t key, size_t* size, uint32_t* type, uint32_t* flags) {
          auto& s = *static_cast<LV2State*>(h);
          if (!s.count(key)) return static_cast<const void*>(nullptr);
          *size = s[key].second.size(), *type = s[key].first, *flags = LV2_STATE_IS_POD;
          return static_cast<const void*>(s[key].second.data());
        },
        &state, 0, nullptr);
  }

 private:
  LV2_Handle handle() const { return lilv_instance_get_handle(instance_); }
  LV2World& world_;
  LilvInstance* instance_ = lilv_plugin_instantiate(world_.plugin, 48000, world_.features);
  const LV2_State_Interface* state_ = static_cast<const LV2_State_Interface*>(
      lilv_instance_get_extension_data(instance_, LV2_STATE__interface));
  const LV2_URID chunkType_ = world_.map(LV2_ATOM__Chunk);
  alignas(8) uint8_t in_[kBufferBytes];
  alignas(8) uint8_t out_[kBufferBytes];
};

}  // namespace korvel::test
