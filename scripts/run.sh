#!/usr/bin/env bash
# `make run`: the whole link on one machine. A JACK server (a private one when none is
# running), the companion stand-in `tolvane` with the example session, and the reference
# host playing the example MIDI file through one Korvel instance per track. The script
# clicks Connect in track 1's editor, selects that track in the companion, lets the music
# play, clicks Disconnect, and shows what happened. Everything it started is stopped when
# it ends or is interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build
out=$root/out
mkdir -p "$out"
rm -f "$out"/track-*.png "$out"/*.log "$out"/.host.in "$out"/.tolvane.in

pids=()
cleanup() {
  trap - EXIT INT TERM
  exec 3>&- 4>&- 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -f "$out/.host.in" "$out/.tolvane.in"
}
trap cleanup EXIT
trap 'echo; echo "interrupted"; exit 130' INT TERM

say() { printf '\n== %s\n' "$*"; }
# Waits until FILE has a line matching PATTERN, for at most SECONDS.
wait_for() {
  local file=$1 pattern=$2 seconds=$3
  for _ in $(seq $((seconds * 10))); do
    grep -q -- "$pattern" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "run: timed out waiting for \"$pattern\" in $file" >&2
  return 1
}

say "JACK"
if jack_lsp >/dev/null 2>&1; then
  echo "using the running JACK server"
else
  export JACK_DEFAULT_SERVER="korvel-run-$$"
  jackd --no-realtime -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 -C 0 -P 0 >"$out/jackd.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do jack_lsp -s "$JACK_DEFAULT_SERVER" >/dev/null 2>&1 && break; sleep 0.1; done
  echo "started a private JACK server \"$JACK_DEFAULT_SERVER\" (dummy driver)"
fi

say "Companion: tolvane with examples/session.json"
# The companion's desktop entry goes to a directory of this run, not to your home.
export XDG_DATA_HOME=$out/xdg
"$build/companion/tolvane" install --applications "$XDG_DATA_HOME/applications"
mkfifo "$out/.tolvane.in" "$out/.host.in"
"$build/companion/tolvane" -s examples/session.json run --keep-running <"$out/.tolvane.in" >"$out/tolvane.log" 2>&1 &
pids+=($!)
exec 3>"$out/.tolvane.in"
wait_for "$out/tolvane.log" '^ready' 10
tail -n +1 -f "$out/tolvane.log" | sed -u 's/^/  [tolvane] /' &
pids+=($!)

editor=()
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  editor=(--editor)
  say "Host: korvel-host playing examples/demo.mid, editors in windows (close them to finish)"
else
  say "Host: korvel-host playing examples/demo.mid (no display: editors go to $out as PNG)"
fi
"$build/host/korvel-host" play examples/demo.mid --repeat 3 --commands "${editor[@]}" \
  <"$out/.host.in" >"$out/host.log" 2>&1 &
host=$!
pids+=($host)
exec 4>"$out/.host.in"
wait_for "$out/host.log" '^ready:' 15
sed -n 's/^ready: /  tracks and UIDs: /p' "$out/host.log"
uid=$(sed -n 's/^ready: [0-9]* track(s) \([0-9A-F]\{8\}\).*/\1/p' "$out/host.log")

say "Click Connect in track 1's editor (UID $uid)"
echo "connect 1" >&4
wait_for "$out/tolvane.log" "connect UID $uid" 10
say "Select track \"Violins I\" in the companion"
echo "select Violins I" >&3
wait_for "$out/tolvane.log" "event UID $uid" 15
say "Playing: the companion receives the tagged events of the active track only"
sleep 12

echo "state" >&4
[ ${#editor[@]} -eq 0 ] && echo "snapshot $out" >&4
wait_for "$out/host.log" '^ok state' 10
say "Click Disconnect in track 1's editor"
echo "disconnect 1" >&4
wait_for "$out/tolvane.log" "disconnect UID $uid" 10
sleep 1

if [ ${#editor[@]} -eq 0 ]; then
  echo "quit" >&4
else
  say "Close the editor windows to finish"
fi
wait "$host" || true
echo "quit" >&3

say "What the host saw"
sed -n '/^ok connect/,/^ok state/p' "$out/host.log" | grep -v '^ok '
say "Summary"
events=$(grep -c "^event UID $uid" "$out/tolvane.log" || true)
others=$(grep '^event UID' "$out/tolvane.log" | grep -vc "UID $uid" || true)
beats=$(grep -c '^heartbeat UID' "$out/tolvane.log" || true)
echo "  tagged events from the active track's instance $uid: $events"
echo "  tagged events from any other instance: $others"
echo "  heartbeats received: $beats"
echo "  connection file: /tmp/korvel_connection_$uid.json"
sed 's/^/    /' "/tmp/korvel_connection_$uid.json" 2>/dev/null; echo
ls "$out"/track-*.png 2>/dev/null | sed 's/^/  editor snapshot: /' || true
echo "  logs: $out/host.log, $out/tolvane.log"
