#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + ASan + UBSan) in build-fuzz/ and runs
# each for a set time, then prints the executions per target.
#
#   fuzz/run.sh [seconds per target]      default: $FUZZ_SECONDS, else 60
#   FUZZ_TARGETS="midi_stream saved_state" fuzz/run.sh 30
#
# The seeds in fuzz/corpus/<target>/ and the past crashers in fuzz/regressions/<target>/
# are only read; what the fuzzer finds goes to
# build-fuzz/corpus/<target>/, and crashing inputs to build-fuzz/artifacts/<target>/.
# Exits non-zero when a target crashes or fails an invariant.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=${1:-${FUZZ_SECONDS:-60}}
build=${FUZZ_BUILD_DIR:-build-fuzz}
targets=(${FUZZ_TARGETS:-connection_file active_track strings_table localization_load saved_state midi_stream})
jobs=${JOBS:-$(nproc)}
# The targets write their files into a private directory under $TMPDIR on every run;
# memory-backed storage keeps that from dominating the run time.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi

if ! command -v clang++ >/dev/null; then
  echo "clang++ is missing: run scripts/install-deps.sh" >&2
  exit 1
fi
if [ ! -f "$build/build.ninja" ]; then
  cmake -S fuzz -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
fi
cmake --build "$build" -j "$jobs" -- $(printf 'fuzz_%s ' "${targets[@]}")

mkdir -p "$build/logs"
failed=()
printf '\n%-18s %8s %12s %10s %8s  %s\n' target seconds executions exec/s corpus result
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  artifacts="$build/artifacts/$t/"
  mkdir -p "$corpus" "$artifacts"
  log="$build/logs/$t.log"
  extra=()
  [ -f "fuzz/dict/$t.dict" ] && extra+=("-dict=fuzz/dict/$t.dict")
  # Inputs that once crashed a target run first, every time.
  seeds=("fuzz/corpus/$t")
  [ -d "fuzz/regressions/$t" ] && seeds+=("fuzz/regressions/$t")
  set +e
  "$build/fuzz_$t" "$corpus" "${seeds[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts" "${extra[@]}" >"$log" 2>&1
  status=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  files=$(find "$corpus" -type f | wc -l)
  if [ "$status" -eq 0 ]; then
    result=ok
  else
    result="FAILED (exit $status, see $log)"
    failed+=("$t")
  fi
  printf '%-18s %8s %12s %10s %8s  %s\n' "$t" "$seconds" "${execs:-?}" "${rate:-?}" "$files" "$result"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo
  for t in "${failed[@]}"; do
    echo "== $t"
    grep -E '^\*\*\*|ERROR:|SUMMARY:|runtime error' "$build/logs/$t.log" | head -5 || true
    ls "$build/artifacts/$t/" 2>/dev/null | sed "s|^|   $build/artifacts/$t/|"
  done
  exit 1
fi
