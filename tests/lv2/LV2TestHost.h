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

  // `misalign` 4 offers the port buffers at 4 mod 8, as some hosts do.
  explicit LV2Instance(LV2World& world, size_t misalign = 0)
      : world_(world), in_(inStore_ + misalign), out_(outStore_ + misalign) {
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
      // Appended by hand: the library's helper writes through a possibly misaligned pointer.
      const uint32_t used = in->atom.size, bytes = uint32_t(sizeof *ev + e.bytes.size());
      std::memcpy(reinterpret_cast<uint8_t*>(&in->body) + used, ev, bytes);
      in->atom.size = used + lv2_atom_pad_size(bytes);
    }
    std::memset(out_, 0xAA, kBufferBytes);
    offerOutput(capacity);
  }
  // What a host does before every run.
  void offerOutput(uint32_t capacity = kCapacity) {
    const LV2_Atom chunk{capacity, chunkType_};
    std::memcpy(out_, &chunk, sizeof chunk);
  }
  void run(uint32_t frames = 256) { lilv_instance_run(instance_, frames); }
  std::vector<TimedMIDI> output() const {
    std::vector<TimedMIDI> events;
    uint32_t size;
    std::memcpy(&size, out_, sizeof size);
    for (uint32_t at = sizeof(LV2_Atom_Sequence); at < sizeof(LV2_Atom) + size;) {
      LV2_Atom_Event ev;
      std::memcpy(&ev, out_ + at, sizeof ev);
      const uint8_t* bytes = out_ + at + sizeof ev;
      events.push_back({ev.time.frames, {bytes, bytes + ev.body.size}});
      at += lv2_atom_pad_size(uint32_t(sizeof ev + ev.body.size));
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
  alignas(8) uint8_t inStore_[kBufferBytes + 8];
  alignas(8) uint8_t outStore_[kBufferBytes + 8];
  uint8_t* in_;
  uint8_t* out_;
};

}  // namespace korvel::test
