// The orchestral template: `korvel-host scale` with one instance (the baseline) and with
// 500 in one process, each linked to a track, one on the companion's active track, with
// the companion's destination published by korvel-companion-probe. Both runs share one
// private JACK server (dummy driver) started here, so nothing of the user's JACK graph
// is touched. The figures are reported as counters; scripts/bench.sh prints each as a
// ratio against the baseline's.
//
// Environment: KORVEL_SCALE_INSTANCES (default 500), KORVEL_SCALE_IDLE_SECONDS (10).
#include <benchmark/benchmark.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

namespace {

// jackd with the dummy driver under a name of its own; room for 2048 ports, since the
// default limit would not take 500 instances.
class PrivateJack {
 public:
  PrivateJack() : name_("korvel-scale-" + std::to_string(getpid())) {
    setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    jack_set_error_function([](const char*) {});
    jack_set_info_function([](const char*) {});
    pid_ = fork();
    if (pid_ == 0) {
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
      execlp("jackd", "jackd", "--no-realtime", "-n", name_.c_str(), "-p", "2048", "-d", "dummy", "-r",
             "48000", "-p", "256", "-C", "0", "-P", "0", static_cast<char*>(nullptr));
      _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
      jack_status_t status;
      if (jack_client_t* c = jack_client_open("korvel-scale-check", JackNoStartServer, &status)) {
        jack_client_close(c);
        up_ = true;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~PrivateJack() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(pid_, nullptr, WNOHANG) != pid_) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  bool up() const { return up_; }

 private:
  std::string name_;
  pid_t pid_ = -1;
  bool up_ = false;
};

std::unique_ptr<PrivateJack> gJack;

int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : fallback;
}

// Runs the host's scale command and returns its JSON line.
nlohmann::json RunScale(int instances) {
  std::string command = std::string(KORVEL_HOST_BINARY) + " scale --bundle " + KORVEL_BUNDLE +
                        " --companion " + KORVEL_COMPANION_PROBE + " --json --instances " +
                        std::to_string(instances) + " --idle-seconds " +
                        std::to_string(EnvInt("KORVEL_SCALE_IDLE_SECONDS", 10)) + " 2>/dev/null";
  FILE* out = popen(command.c_str(), "r");
  if (!out) throw std::runtime_error("cannot run korvel-host");
  std::string last, line;
  char buffer[8192];
  while (fgets(buffer, sizeof buffer, out)) {
    line = buffer;
    if (!line.empty() && line[0] == '{') last = line;
    else std::fputs(("  | " + line).c_str(), stderr);  // the human-readable report
  }
  if (pclose(out) != 0 || last.empty()) throw std::runtime_error("korvel-host scale failed");
  return nlohmann::json::parse(last);
}

void Report(benchmark::State& state, int instances) {
  if (!gJack || !gJack->up()) {
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
    for (const char* key : {"open_ms_per_instance", "link_ms_per_instance", "close_ms_per_instance",
                            "idle_cpu_percent", "rss_kib_per_instance", "linked",
                            "latency_ms_median", "latency_ms_p95", "latency_ms_max", "latency_bound_ms",
                            "latency_lost"})
      state.counters[key] = f[key].get<double>();
    // "threads" is Google Benchmark's own field (threads running the case).
    state.counters["process_threads"] = f["threads"].get<double>();
    state.counters["instances"] = instances;
  }
}

void BM_Baseline_OneInstance(benchmark::State& state) { Report(state, 1); }
void BM_Scale_Template(benchmark::State& state) { Report(state, EnvInt("KORVEL_SCALE_INSTANCES", 500)); }

BENCHMARK(BM_Baseline_OneInstance)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scale_Template)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  gJack = std::make_unique<PrivateJack>();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gJack.reset();
  return 0;
}
