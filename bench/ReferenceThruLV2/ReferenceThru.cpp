// The least an LV2 MIDI thru can be: every event of midi_in copied to midi_out. It gives
// the template benchmark the host's own cost of running one MIDI plug-in per track, so
// that Korvel's share of a template's idle CPU can be told from the host's.
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>

#include <new>

namespace {

struct Thru {
  const LV2_Atom_Sequence* in = nullptr;
  LV2_Atom_Sequence* out = nullptr;
};

LV2_Handle Instantiate(const LV2_Descriptor*, double, const char*, const LV2_Feature* const*) {
  return new (std::nothrow) Thru;
}

void ConnectPort(LV2_Handle handle, uint32_t port, void* data) {
  auto* thru = static_cast<Thru*>(handle);
  if (port == 0) thru->in = static_cast<const LV2_Atom_Sequence*>(data);
  if (port == 1) thru->out = static_cast<LV2_Atom_Sequence*>(data);
}

void Run(LV2_Handle handle, uint32_t) {
  auto* thru = static_cast<Thru*>(handle);
  if (thru->out == nullptr) return;
  const uint32_t capacity = thru->out->atom.size;
  lv2_atom_sequence_clear(thru->out);
  if (thru->in == nullptr) return;
  // The input's type is the sequence URID: no URID map needed for the output's.
  thru->out->atom.type = thru->in->atom.type;
  LV2_ATOM_SEQUENCE_FOREACH(thru->in, event) {
    if (!lv2_atom_sequence_append_event(thru->out, capacity, event)) break;
  }
}

void Cleanup(LV2_Handle handle) { delete static_cast<Thru*>(handle); }

const LV2_Descriptor kDescriptor = {"urn:korvel:bench:reference-thru",
                                    Instantiate,
                                    ConnectPort,
                                    nullptr,
                                    Run,
                                    nullptr,
                                    Cleanup,
                                    [](const char*) -> const void* { return nullptr; }};

}  // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
  return index == 0 ? &kDescriptor : nullptr;
}
