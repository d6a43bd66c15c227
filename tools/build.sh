#!/usr/bin/env bash
# Configures and builds one build folder:
#   tools/build.sh DIR [--targets "T1 T2"] [cmake options]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
targets=()
if [ "${1:-}" = "--targets" ]; then
  read -r -a targets <<<"$2"
  shift 2
fi
cxx=${CXX:-}
if [ -z "$cxx" ]; then
  if [ -x /opt/swift/usr/bin/clang++ ]; then cxx=/opt/swift/usr/bin/clang++; else cxx=clang++; fi
fi
cc=${cxx%++}
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_ASM_COMPILER="$cc" "$@" >/dev/null
build=()
if [ "${#targets[@]}" -gt 0 ]; then build=(--target "${targets[@]}"); fi
cmake --build "$dir" -j "$(nproc)" "${build[@]}"
