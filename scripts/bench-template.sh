#!/usr/bin/env bash
# An orchestral template in a real host: an Ardour session of TRACKS MIDI tracks with
# Korvel (LV2) on each, beside the same session without it, both loaded headless with
# ardour7-lua on a private JACK server (dummy driver). Prints the load time and the idle
# CPU of the whole Ardour process for each, and the ratios:
#   load time with Korvel at most 1.2x, idle CPU at most 2 percentage points of one core more.
# A third session carries a bare LV2 MIDI thru (bench/ReferenceThruLV2) on every track
# instead: what running any MIDI plug-in per track costs Ardour itself, so that Korvel's
# own share of the difference shows.
# Not part of the tests. The sessions are built once (creating them takes minutes) and
# reused from BENCH_TEMPLATE_DIR; delete that directory to build them again.
#
# Environment: TRACKS (500), IDLE_SECONDS (20), ROUNDS (2), PERIOD (1024 frames at 48 kHz;
# at 256, Ardour alone keeps the engine thread of a 2-core machine busy with 500 tracks,
# with or without plug-ins, and no difference can be told), LV2_BUNDLE_DIR (build, the
# directory holding Korvel.lv2), BENCH_TEMPLATE_DIR (build/bench-template).
# Idle figures of one Ardour run differ from the next by a few points of a core: take the
# medians of several rounds (ROUNDS=5) before reading anything into a difference.
set -euo pipefail
cd "$(dirname "$0")/.."
TRACKS=${TRACKS:-500}
IDLE_SECONDS=${IDLE_SECONDS:-20}
ROUNDS=${ROUNDS:-2}
PERIOD=${PERIOD:-1024}
LV2_BUNDLE_DIR=$(realpath "${LV2_BUNDLE_DIR:-build}")
WORK=$(realpath -m "${BENCH_TEMPLATE_DIR:-build/bench-template}")
SCRIPT=$(realpath scripts/bench-template.lua)

[ -f "$LV2_BUNDLE_DIR/Korvel.lv2/manifest.ttl" ] || { echo "no Korvel.lv2 in $LV2_BUNDLE_DIR (build the LV2 plug-in first)" >&2; exit 2; }
command -v ardour7-lua >/dev/null || { echo "ardour7-lua is missing (Debian package ardour)" >&2; exit 2; }
mkdir -p "$WORK/home" "$WORK/lv2"
ln -sfn "$LV2_BUNDLE_DIR/Korvel.lv2" "$WORK/lv2/Korvel.lv2"  # a path with nothing else to scan
REFERENCE_THRU=$(realpath -m build/bench/ReferenceThru.lv2)
[ -f "$REFERENCE_THRU/manifest.ttl" ] || { echo "no $REFERENCE_THRU (build the benchmarks first)" >&2; exit 2; }
ln -sfn "$REFERENCE_THRU" "$WORK/lv2/ReferenceThru.lv2"
export LV2_PATH="$WORK/lv2" HOME="$WORK/home"
export JACK_DEFAULT_SERVER="korvel-bench-$$"
export JACK_NO_AUDIO_RESERVATION=1

# A private server with room for every track's ports, stopped by its PID at the end.
jackd --no-realtime -n "$JACK_DEFAULT_SERVER" -p 4096 -d dummy -r 48000 -p "$PERIOD" >"$WORK/jackd.log" 2>&1 &
JACKD=$!
HOST=""
cleanup() {
  [ -n "$HOST" ] && kill "$HOST" 2>/dev/null || true
  kill "$JACKD" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do jack_lsp -s "$JACK_DEFAULT_SERVER" >/dev/null 2>&1 && break; sleep 0.1; done
kill -0 "$JACKD" 2>/dev/null || { cat "$WORK/jackd.log" >&2; exit 2; }

now() { date +%s.%N; }
# CPU seconds so far per thread name of a process, one "name seconds" line each.
thread_seconds() {
  for t in /proc/"$1"/task/*; do
    awk -v hz="$(getconf CLK_TCK)" '{ match($0, /\(.*\)/); name = substr($0, RSTART + 1, RLENGTH - 2)
      gsub(/ /, "_", name); sub(/^.*\) /, ""); print name, ($12 + $13) / hz }' "$t/stat" 2>/dev/null
  done | awk '{ s[$1] += $2 } END { for (n in s) print n, s[n] }'
}
# utime + stime of a process, in seconds.
cpu_seconds() { awk -v hz="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); print ($12 + $13) / hz }' "/proc/$1/stat"; }

create() {  # name plug-in-URI ("" for none)
  local dir="$WORK/$1"
  [ -f "$dir/$1.ardour" ] && return
  rm -rf "$dir"
  echo "building $1 ($TRACKS tracks) ..."
  ardour7-lua "$SCRIPT" create "$dir" "$1" "$TRACKS" "$2" >"$WORK/$1-create.log" 2>&1 </dev/null ||
    { tail -20 "$WORK/$1-create.log" >&2; exit 1; }
  grep -q "^created $TRACKS" "$WORK/$1-create.log" || { tail -20 "$WORK/$1-create.log" >&2; exit 1; }
}

measure() {  # name -> "LOAD_SECONDS IDLE_CPU_PERCENT"
  local fifo="$WORK/in.$$" log="$WORK/$1-load.log" start ready t0 c0 t1 c1
  rm -f "$fifo"; mkfifo "$fifo"
  ardour7-lua "$SCRIPT" load "$WORK/$1" "$1" <"$fifo" >"$log" 2>&1 &
  HOST=$!
  exec 3>"$fifo"
  start=""; ready=""
  for _ in $(seq 6000); do
    [ -z "$start" ] && grep -q "^start" "$log" && start=$(now)
    grep -q "^ready" "$log" && { ready=$(now); break; }
    kill -0 "$HOST" 2>/dev/null || break
    sleep 0.01
  done
  [ -n "$ready" ] || { tail -20 "$log" >&2; exit 1; }
  sleep 2  # let the start-up work settle before the idle measurement
  t0=$(now); c0=$(cpu_seconds "$HOST"); thread_seconds "$HOST" >"$WORK/$1-threads0"
  sleep "$IDLE_SECONDS"
  t1=$(now); c1=$(cpu_seconds "$HOST"); thread_seconds "$HOST" >"$WORK/$1-threads1"
  # Where the idle time went, by thread name (to stderr, beside the figures).
  awk -v secs="$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')" 'NR == FNR { before[$1] = $2; next }
    { d = $2 - before[$1]; if (d > 0) printf "    %-20s %6.2f %%\n", $1, 100 * d / secs }' \
    "$WORK/$1-threads0" "$WORK/$1-threads1" | sort -k2 -gr | head -8 >&2
  echo close >&3; exec 3>&-
  wait "$HOST" || true; HOST=""
  rm -f "$fifo"
  awk -v s="$start" -v r="$ready" -v t0="$t0" -v t1="$t1" -v c0="$c0" -v c1="$c1" \
    'BEGIN { printf "%.3f %.2f\n", r - s, 100 * (c1 - c0) / (t1 - t0) }'
}

create plain ""
create korvel urn:korvel:lv2
create thru urn:korvel:bench:reference-thru
echo "load: $(cat /proc/loadavg)"
declare -A LOAD CPU
for round in $(seq "$ROUNDS"); do
  for name in plain thru korvel; do
    # The dummy server now and then drops a loaded Ardour ("JACK HALTED"), with or without
    # plug-ins; such a measurement is taken again, at most five times, and never counted:
    # an Ardour without its engine idles at almost nothing.
    halted=1
    for _ in 1 2 3 4 5; do
      read -r l c < <(measure "$name")
      grep -q "JACK HALTED" "$WORK/$name-load.log" || { halted=0; break; }
      echo "round $round  $name: the server dropped Ardour; measuring again" >&2
    done
    if [ "$halted" = 1 ]; then
      echo "round $round  $name: no measurement (the server dropped Ardour five times)"
      continue
    fi
    echo "round $round  $name: load ${l} s, idle CPU ${c} % of one core"
    LOAD[$name]="${LOAD[$name]:-} $l"; CPU[$name]="${CPU[$name]:-} $c"
  done
done
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
lp=$(echo "${LOAD[plain]}" | median); lk=$(echo "${LOAD[korvel]}" | median)
cp=$(echo "${CPU[plain]}" | median); ck=$(echo "${CPU[korvel]}" | median)
ct=$(echo "${CPU[thru]}" | median)
awk -v lp="$lp" -v lk="$lk" -v cp="$cp" -v ck="$ck" -v ct="$ct" -v n="$TRACKS" 'BEGIN {
  printf "%d tracks, medians: load %.2f s without Korvel, %.2f s with (%.2fx, at most 1.2x)\n", n, lp, lk, lk / lp
  printf "idle CPU %.2f %% without, %.2f %% with (+%.2f points, at most 2)\n", cp, ck, ck - cp
  printf "idle CPU with a bare MIDI thru on every track %.2f %% (+%.2f points): Korvel beyond it +%.2f\n", ct, ct - cp, ck - ct
  exit (lk / lp <= 1.2 && ck - cp <= 2) ? 0 : 1 }'
