#!/usr/bin/env bash
# A sound server of its own for a test, a benchmark or the demo, with every
# socket, setting and log in DIR, so that it needs no user session and
# touches nothing of anyone else's:
#
#   tools/private-sound-server.sh start DIR [pulseaudio|pipewire] [SCRIPT]
#   tools/private-sound-server.sh stop|kill DIR
#
# start prints the environment its clients need as `export NAME=VALUE`
# lines (for eval). SCRIPT holds PulseAudio configuration commands, @DIR@
# standing for DIR; without it: a default output "speakers" and a second
# sink "micsink" whose monitor is remapped into the default source
# "virtualmic", all at 48 kHz stereo. On PipeWire (with WirePlumber and its
# PulseAudio server on a private bus) each command goes through pactl.
# The kind defaults to $ZT_TEST_SERVER, else pulseaudio. stop ends the
# server's processes (SIGKILL after 5 s), kill ends them at once; both wait
# until they are gone.
set -uo pipefail
action=${1:?start, stop or kill}
dir=${2:?the server folder}
kind=${3:-${ZT_TEST_SERVER:-pulseaudio}}
script=${4:-}

gone() {  # an exited process nobody has reaped yet counts as gone
  [ ! -e "/proc/$1" ] || [ "$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null)" = Z ]
}
wait_until() {  # seconds, command...
  local tries=$(($1 * 20))
  shift
  until "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.05
  done
}
end_all() {  # signal
  [ -f "$dir/pids" ] || return 0
  local pids pid
  pids=$(tac "$dir/pids")
  for pid in $pids; do
    kill "-$1" "$pid" 2>/dev/null
    wait_until 5 gone "$pid" || { kill -KILL "$pid" 2>/dev/null; wait_until 5 gone "$pid"; }
  done
  rm -f "$dir/pids"
}
case $action in
  stop) end_all TERM; exit 0 ;;
  kill) end_all KILL; exit 0 ;;
  start) ;;
  *) echo "unknown action $action" >&2; exit 2 ;;
esac

mkdir -p "$dir"
if [ -z "$script" ]; then
  script=$dir/default.pa
  cat >"$script" <<'EOF'
load-module module-native-protocol-unix auth-anonymous=1 socket=@DIR@/native
load-module module-null-sink sink_name=speakers rate=48000 channels=2
load-module module-null-sink sink_name=micsink rate=48000 channels=2
load-module module-remap-source source_name=virtualmic master=micsink.monitor rate=48000 channels=2
set-default-sink speakers
set-default-source virtualmic
EOF
fi
sed "s|@DIR@|$dir|g" "$script" >"$dir/server.pa"

vars=(XDG_RUNTIME_DIR="$dir" HOME="$dir")
if [ "$kind" = pipewire ]; then
  vars+=(PULSE_RUNTIME_PATH="$dir/pulse" PULSE_SERVER="unix:$dir/pulse/native" PIPEWIRE_RUNTIME_DIR="$dir"
    XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state" DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus")
else
  vars+=(PULSE_RUNTIME_PATH="$dir" PULSE_SERVER="unix:$dir/native")
fi
export "${vars[@]}"

spawn() {  # log name, command...
  local log=$1
  shift
  "$@" </dev/null >"$dir/$log.log" 2>&1 &
  echo $! >>"$dir/pids"
}
fail() {
  echo "the private $kind server did not start: $1 (logs in $dir)" >&2
  end_all KILL
  exit 1
}
answers() { pactl info >/dev/null 2>&1; }

if [ "$kind" = pipewire ]; then
  # As root PipeWire finds no realtime service and runs without one.
  spawn dbus dbus-daemon --session "--address=unix:path=$dir/bus" --nofork --nopidfile
  wait_until 10 test -S "$dir/bus" || fail "no session bus"
  spawn pipewire pipewire
  # The session manager gives up when PipeWire is not there yet.
  wait_until 10 test -S "$dir/pipewire-0" || fail "no PipeWire socket"
  spawn wireplumber wireplumber
  spawn pipewire-pulse pipewire-pulse
  wait_until 20 answers || fail "pactl info"
  wanted=
  while IFS= read -r line; do
    [ -z "$line" ] || [[ $line == *module-native-protocol-unix* ]] && continue
    [[ $line == set-default-sink\ * ]] && wanted=${line#set-default-sink }
    # Right after start-up the server may not take commands yet, and a
    # default can be set only once the session manager runs.
    # shellcheck disable=SC2086
    wait_until 20 pactl $line >/dev/null 2>&1 || fail "the server refused '$line'"
  done <"$dir/server.pa"
  # The session manager applies a new default a moment later.
  default_is() { pactl info 2>/dev/null | grep -qx "Default Sink: $1"; }
  [ -z "$wanted" ] || wait_until 10 default_is "$wanted" || fail "the default output stays elsewhere"
else
  spawn server pulseaudio -n -F "$dir/server.pa" --exit-idle-time=-1 --daemonize=no --system=no \
    --disallow-exit --use-pid-file=no --log-target=stderr
  wait_until 20 answers || fail "pactl info"
fi
for v in "${vars[@]}"; do printf 'export %s=%q\n' "${v%%=*}" "${v#*=}"; done
