// The LV2 plug-in's run() on a 256-frame block of 16 channel events, against a baseline
// that only copies the same events from one atom sequence to another: the least any LV2
// MIDI thru does.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "tests/lv2/LV2TestHost.h"

namespace {

using korvel::test::LV2Instance;
using korvel::test::LV2World;

std::vector<korvel::test::TimedMIDI> Block() {
  std::vector<korvel::test::TimedMIDI> events;
  for (uint8_t i = 0; i < 16; ++i) {
    const uint8_t status = i % 4 == 0 ? 0x90 : i % 4 == 1 ? 0xB0 : i % 4 == 2 ? 0xE0 : 0x80;
    events.push_back(
        {i * 16, {static_cast<uint8_t>(status | (i & 3)), static_cast<uint8_t>(i * 7), 64}});
  }
  return events;
}

struct Fixture {
  Fixture() {
    // The benchmark measures the plug-in, not a JACK server's presence.
    setenv("JACK_NO_START_SERVER", "1", 1);
    setenv("JACK_DEFAULT_SERVER", "korvel-bench-no-server", 1);
  }
  LV2World world;
  LV2Instance plugin{world};
};

void BM_Baseline_CopySequence(benchmark::State& state) {
  Fixture f;
  f.plugin.prepare(Block());
  const auto* in = reinterpret_cast<const LV2_Atom_Sequence*>(f.plugin.inBuffer());
  alignas(8) static uint8_t outBuffer[LV2Instance::kBufferBytes];
  auto* out = reinterpret_cast<LV2_Atom_Sequence*>(outBuffer);
  const LV2_URID sequence = f.world.map(LV2_ATOM__Sequence);
  for (auto _ : state) {
    out->atom = {sizeof(LV2_Atom_Sequence_Body), sequence};
    out->body = {0, 0};
    LV2_ATOM_SEQUENCE_FOREACH(in, ev) {
      lv2_atom_sequence_append_event(out, sizeof outBuffer - sizeof(LV2_Atom), ev);
    }
    benchmark::DoNotOptimize(outBuffer);
  }
}
BENCHMARK(BM_Baseline_CopySequence);

void BM_LV2Run_16ChannelEvents(benchmark::State& state) {
  Fixture f;
  f.plugin.prepare(Block());
  for (auto _ : state) {
    f.plugin.offerOutput();
    f.plugin.run(256);
    benchmark::DoNotOptimize(f.plugin.outBuffer());
  }
  if (f.plugin.output() != Block()) state.SkipWithError("midi_out differs from midi_in");
}
BENCHMARK(BM_LV2Run_16ChannelEvents);

}  // namespace

BENCHMARK_MAIN();
