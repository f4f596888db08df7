#!/usr/bin/env bash
# Renders the editor in its three connection states to docs/editor-*.png with
# `korvel-host snapshot`, no display needed:
#   editor-not-connected.png  an instance without a link (connect panel)
#   editor-connected.png      linked to a companion track that is not the active one
#   editor-active.png         linked, on the companion's active track
# The companion's side is played by writing its files under /tmp: the connection files of
# the two new instances and the active-track files. The user's own active-track files are
# put back (or removed again) on exit, and the connection files written here are removed.
#
# Usage: scripts/make-doc-snapshots.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
host="$build/host/korvel-host"
[[ -x "$host" ]] || { echo "no $host; build first (make)" >&2; exit 1; }

work=$(mktemp -d)
active_files=(/tmp/korvel_active_uid.txt /tmp/korvel_active_track.txt)
connection_files=()
for f in "${active_files[@]}"; do
  if [[ -e "$f" || -L "$f" ]]; then cp -P --preserve=all "$f" "$work/saved.$(basename "$f")"; fi
done
restore() {
  for f in "${active_files[@]}"; do
    rm -f "$f"
    if [[ -e "$work/saved.$(basename "$f")" || -L "$work/saved.$(basename "$f")" ]]; then
      cp -P --preserve=all "$work/saved.$(basename "$f")" "$f"
    fi
  done
  for f in "${connection_files[@]}"; do rm -f "$f"; done
  rm -rf "$work"
}
trap restore EXIT

uid_of_track() {  # report, track number
  awk -v t="track $2:" '$0 ~ "^"t {found=1; next} found && /^  uid:/ {print $2; exit}' <<<"$1"
}
snapshot() {  # output directory, more arguments
  local out=$1; shift
  "$host" snapshot --out "$out" examples/demo.mid "$@" 2>"$work/stderr" ||
    { cat "$work/stderr" >&2; exit 1; }
}

report=$(snapshot "$work/not-connected" --save "$work/project.plist")
cp "$work/not-connected/track-1.png" docs/editor-not-connected.png

names='["Legato","Staccato","Pizzicato"]'
for track in 1 2; do
  uid=$(uid_of_track "$report" "$track")
  [[ "$uid" =~ ^[0-9A-F]{8}$ ]] || { echo "no UID for track $track in: $report" >&2; exit 1; }
  file="/tmp/korvel_connection_$uid.json"
  [[ -e "$file" ]] && { echo "$file exists already; not touching it" >&2; exit 1; }
  connection_files+=("$file")
  name=$([[ $track == 1 ]] && echo "Violins I" || echo "French Horns")
  printf '{"status":"connected","trackName":"%s","articulationNotes":[24,25,26],"articulationNames":%s}\n' \
    "$name" "$names" >"$file"
done
first_uid=$(uid_of_track "$report" 1)

# "0" names no instance: neither track is the active one.
printf '0\n' >/tmp/korvel_active_uid.txt
snapshot "$work/connected" --load "$work/project.plist" --wait-linked 10 >/dev/null
cp "$work/connected/track-1.png" docs/editor-connected.png

printf '%s\n' "$first_uid" >/tmp/korvel_active_uid.txt
snapshot "$work/active" --load "$work/project.plist" --wait-linked 10 >/dev/null
cp "$work/active/track-1.png" docs/editor-active.png

echo "wrote docs/editor-not-connected.png docs/editor-connected.png docs/editor-active.png"
