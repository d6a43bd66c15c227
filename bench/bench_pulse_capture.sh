#!/usr/bin/env bash
# Benchmarks the helper's PulseAudio capture against ffmpeg and parec|sox on
# a private server: bench/bench_pulse_capture.sh [build dir] (default: build).
# BENCH_SECONDS sets the capture length per tool (default 20), BENCH_PLAYER_MS
# the click player's target length (default 10), BENCH_BASELINE another helper
# build to measure in the same run, BENCH_SERVER=pipewire the server (default
# PulseAudio).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
unset PULSE_SERVER
exec python3 "$root/bench/bench_pulse_capture.py" "$build/zentrell-audio-helper"
