// Opening and closing instances, and the editor's most expensive property read, each
// beside a baseline in the same run. The first open of the process also opens the JACK
// connection and starts the shared threads; it is reported on its own.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>

#include "component/KorvelComponent.h"
#include "tests/support/TestSupport.h"

namespace {

AudioComponentPlugInInterface* OpenOne() {
  auto* iface = KorvelAUFactory(nullptr);
  iface->Open(iface, iface);
  return iface;
}

double gColdOpenMicroseconds = 0;

void BM_Open_FirstInProcess(benchmark::State& state) {
  for (auto _ : state) {
    state.counters["cold_open_us"] = gColdOpenMicroseconds;
  }
}
BENCHMARK(BM_Open_FirstInProcess)->Iterations(1);

void BM_Open_Warm(benchmark::State& state) {
  std::vector<AudioComponentPlugInInterface*> opened;
  opened.reserve(100000);
  for (auto _ : state) opened.push_back(OpenOne());
  for (auto* i : opened) i->Close(i);  // after the timed loop
}
BENCHMARK(BM_Open_Warm)->Iterations(200);

void BM_Close(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto* i = OpenOne();
    state.ResumeTiming();
    i->Close(i);
  }
}
BENCHMARK(BM_Close)->Iterations(200);

void BM_Baseline_Memcpy2KB(benchmark::State& state) {
  static uint8_t src[2048], dst[2048];
  for (auto _ : state) {
    std::memcpy(dst, src, sizeof dst);
    benchmark::DoNotOptimize(dst);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Baseline_Memcpy2KB);

void BM_GetProperty_CCValues(benchmark::State& state) {
  auto* iface = OpenOne();
  uint8_t dst[2048];
  for (auto _ : state) {
    uint32_t size = sizeof dst;
    KR_GetProperty(iface, kKorvelProperty_CCValues, 0, 0, dst, &size);
    benchmark::DoNotOptimize(dst);
  }
  iface->Close(iface);
}
BENCHMARK(BM_GetProperty_CCValues);

}  // namespace

int main(int argc, char** argv) {
  korvel::test::PrivateJackServer jack;
  korvel::test::VirtualDispatchScope clock;
  const auto start = std::chrono::steady_clock::now();
  auto* first = OpenOne();
  gColdOpenMicroseconds =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  first->Close(first);
  clock.advance(std::chrono::seconds(1));
  return 0;
}
