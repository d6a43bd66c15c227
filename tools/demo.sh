#!/usr/bin/env bash
# Records five seconds of the computer's sound and the microphone with
# zentrell-record and says where the files are.
#
#   bash tools/demo.sh [OUTPUT_DIR]     (default: build/demo)
#
# With a sound server running (pactl info answers), it records the real
# default output and microphone. Without one (a fresh or headless machine),
# it starts a private PulseAudio server for the length of the demo: music on
# its output and a spoken sentence on a virtual microphone.
#
# Environment: ZENTRELL_RECORD names a zentrell-record to use (then nothing
# is built); ZT_DEMO_SECONDS changes the length (default 5).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/demo}
seconds=${ZT_DEMO_SECONDS:-5}

say() { printf 'demo: %s\n' "$*"; }
need() {
  command -v "$1" >/dev/null 2>&1 && return 0
  say "$1 is missing; run: bash tools/setup.sh" >&2
  exit 1
}

record=${ZENTRELL_RECORD:-}
if [ -z "$record" ]; then
  # On a fresh machine the packages come first (quick when all are there).
  if [ "$(id -u)" = 0 ]; then bash "$root/tools/setup.sh" >/dev/null; fi
  say "building (bash tools/build.sh build)..."
  bash "$root/tools/build.sh" "$root/build" >/dev/null
  record=$root/build/zentrell-record
fi
[ -x "$record" ] || { say "no recorder at $record" >&2; exit 1; }
need pactl
need sox

work=$(mktemp -d /tmp/zentrell-demo-XXXXXX)
server=
players=()
cleanup() {
  for p in "${players[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${players[@]}"; do wait "$p" 2>/dev/null || true; done
  if [ -n "$server" ]; then bash "$root/tools/private-sound-server.sh" stop "$server"; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Asks without starting a server as a side effect: libpulse may otherwise
# autospawn one just to answer.
printf 'autospawn = no\n' >"$work/client.conf"
if PULSE_CLIENTCONFIG=$work/client.conf pactl info >/dev/null 2>&1; then
  say "a sound server is running: recording your default output and microphone for $seconds s."
  say "play something and say something now."
else
  need pulseaudio
  need paplay
  need espeak-ng
  say "no sound server found: starting a private PulseAudio server for the demo."
  # Everything the server and its clients need lives in $work/server, so
  # nothing of the user's (or another test's) is touched.
  env=$(bash "$root/tools/private-sound-server.sh" start "$work/server" pulseaudio) || exit 1
  server=$work/server
  eval "$env"
  export PULSE_CLIENTCONFIG=$work/client.conf
  # A short tune, long enough to outlast the recording, on the output.
  tune=()
  for note in C4 E4 G4 C5 G4 E4; do tune+=("|sox -n -r 48000 -c 2 -p synth 0.4 pluck $note"); done
  sox "${tune[@]}" "$work/phrase.wav"
  repeats=$(( (seconds + 6) * 10 / 24 ))
  sox "$work/phrase.wav" "$work/music.wav" repeat "$repeats" vol 0.5
  # A sentence on the virtual microphone, said over and over so that it
  # fills the recording whenever it starts.
  espeak-ng -w "$work/sentence.wav" "Hello from the Zentrell audio helper. This is the microphone speaking." \
    >/dev/null 2>&1
  sox "$work/sentence.wav" "$work/speech.wav" pad 0 0.4 repeat "$repeats"
  paplay -d speakers "$work/music.wav" >/dev/null 2>&1 &
  players+=($!)
  paplay -d micsink "$work/speech.wav" >/dev/null 2>&1 &
  players+=($!)
  sleep 0.3
  say "music plays on the private output, a voice speaks into its microphone; recording $seconds s."
fi

status=0
# The demo's folder is its own: each run replaces the last one's files.
"$record" --duration "$seconds" --spectrogram --force --output "$out" || status=$?
if [ "$status" -ne 0 ]; then
  say "the recording failed (status $status); the messages above say why." >&2
  exit "$status"
fi
say "done. The files:"
for f in system.wav microphone.wav system.png microphone.png; do
  [ -e "$out/$f" ] && say "  $out/$f"
done
say "play a WAV with: play $out/system.wav   (or any audio player)"
