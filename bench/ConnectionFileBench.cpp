// The instance reads its connection file twice a second and the editor ten times a
// second. The cost of one KR_ReadConnectionFile (safe open, parse, stores, active-track
// check) is measured against the floor that any reader pays: a plain open and read of
// the same file, in the same run.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "link/CompanionLink.h"
#include "link/SharedPaths.h"
#include "record/KorvelInstance.h"

namespace {

// A typical file: the instance's keys plus a companion's list of a dozen keyswitches.
constexpr const char* kTypicalFile =
    R"json({"articulationNames":["Legato","Staccato","Spiccato","Pizzicato","Tremolo",)json"
    R"json("Col legno","Harmonics","Marcato","Sforzando","Trill (half)","Trill (whole)",)json"
    R"json("Sul ponticello"],"articulationNotes":[24,25,26,27,28,29,30,31,32,33,34,35],)json"
    R"json("pluginVersion":"2.0 (2.0.1)","protocol":"korvel-v2","schemaVersion":2,)json"
    R"json("source":"audio-unit","status":"connected","timestamp":1718000000.123456,)json"
    R"json("trackName":"Violins I","uid":305419896})json";

constexpr uint32_t kUID = 0x12345678;

class SharedDirectory {
 public:
  SharedDirectory() {
    char tmpl[] = "/tmp/korvel-bench-XXXXXX";
    if (mkdtemp(tmpl)) path_ = tmpl;
    korvel::link::SetSharedFileDirectoryForTesting(path_);
    std::ofstream(korvel::link::ConnectionFilePath(kUID), std::ios::binary) << kTypicalFile;
    std::ofstream(path_ + "/korvel_active_uid.txt") << "12345678\n";
  }
  ~SharedDirectory() {
    korvel::link::SetSharedFileDirectoryForTesting(std::nullopt);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string connectionFile() const { return path_ + "/korvel_connection_12345678.json"; }

 private:
  std::string path_;
};

void BM_BaselineOpenAndRead(benchmark::State& state) {
  SharedDirectory dir;
  const std::string path = dir.connectionFile();
  char buffer[4096];
  for (auto _ : state) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(buffer);
  }
}
BENCHMARK(BM_BaselineOpenAndRead);

void BM_ReadConnectionFile(benchmark::State& state) {
  SharedDirectory dir;
  auto inst = std::make_unique<KorvelInstance>();
  KR_Store(inst->uniqueID, kUID);
  for (auto _ : state) {
    KR_ReadConnectionFile(inst.get());
    benchmark::DoNotOptimize(inst->articulationNoteCount);
  }
  if (KR_Load(inst->articulationNoteCount) != 12 || !KR_Load(inst->isActiveTrack)) {
    state.SkipWithError("the typical file was not read");
  }
}
BENCHMARK(BM_ReadConnectionFile);

}  // namespace

BENCHMARK_MAIN();
