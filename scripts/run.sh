#!/usr/bin/env bash
# `make run` until the companion stand-in joins the demonstration: the reference host
# plays the example MIDI file through one Korvel instance per track and prints what each
# instance saw.
set -euo pipefail
cd "$(dirname "$0")/.."
exec build/host/korvel-host play examples/demo.mid --speed 4
