// The orchestral template: `korvel-host scale` with one instance (the baseline) and with
// 500 in one process, each linked to a track, one on the companion's active track, with
// the companion's destination published by korvel-companion-probe. Both runs share one
// private JACK server (dummy driver) started here, so nothing of the user's JACK graph
// is touched. The figures are reported as counters; scripts/bench.sh prints each as a
// ratio against the baseline's.
//
// Environment: KORVEL_SCALE_INSTANCES (default 500), KORVEL_SCALE_IDLE_SECONDS (10).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/TestSupport.h"

namespace {

// Room for 2048 ports, since jackd's default limit would not take 500 instances.
std::unique_ptr<korvel::test::PrivateJackServer> gJack;

int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : fallback;
}

// Runs the host's scale command and returns its JSON line.
nlohmann::json RunScale(int instances) {
  korvel::test::ChildProcess host({KORVEL_HOST_BINARY, "scale", "--bundle", KORVEL_BUNDLE,
                                   "--companion", KORVEL_COMPANION_PROBE, "--json", "--instances",
                                   std::to_string(instances), "--idle-seconds",
                                   std::to_string(EnvInt("KORVEL_SCALE_IDLE_SECONDS", 10))});
  if (!host.started()) throw std::runtime_error("cannot run korvel-host");
  if (host.waitForExit(std::chrono::minutes(30)) != 0)
    throw std::runtime_error("korvel-host scale failed");
  std::string last;
  for (const korvel::test::OutputLine& line : host.lines()) {
    if (!line.text.empty() && line.text[0] == '{')
      last = line.text;
    else
      std::fputs(("  | " + line.text + "\n").c_str(), stderr);  // the human-readable report
  }
  if (last.empty()) throw std::runtime_error("korvel-host scale printed no figures");
  return nlohmann::json::parse(last);
}

void Report(benchmark::State& state, int instances) {
  if (!gJack || !gJack->running()) {
    state.SkipWithError("no private JACK server (jackd missing?)");
    return;
  }
  for (auto _ : state) {
    nlohmann::json f;
    try {
      f = RunScale(instances);
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      return;
    }
    // The timed figure is the open time per instance; everything else is a counter.
    state.SetIterationTime(f["open_ms_per_instance"].get<double>() / 1000.0);
    for (const char* key :
         {"open_ms_per_instance", "link_ms_per_instance", "close_ms_per_instance",
          "idle_cpu_percent", "rss_kib_per_instance", "linked", "latency_ms_median",
          "latency_ms_p95", "latency_ms_max", "latency_bound_ms", "latency_lost"})
      state.counters[key] = f[key].get<double>();
    // "threads" is Google Benchmark's own field (threads running the case).
    state.counters["process_threads"] = f["threads"].get<double>();
    state.counters["instances"] = instances;
  }
}

void BM_Baseline_OneInstance(benchmark::State& state) { Report(state, 1); }
void BM_Scale_Template(benchmark::State& state) {
  Report(state, EnvInt("KORVEL_SCALE_INSTANCES", 500));
}

BENCHMARK(BM_Baseline_OneInstance)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scale_Template)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  gJack = std::make_unique<korvel::test::PrivateJackServer>(256, 2048);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gJack.reset();
  return 0;
}
