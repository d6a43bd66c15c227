#!/usr/bin/env bash
# Configures and builds one build folder: tools/build.sh DIR [cmake options]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
cxx=${CXX:-}
if [ -z "$cxx" ]; then
  if [ -x /opt/swift/usr/bin/clang++ ]; then cxx=/opt/swift/usr/bin/clang++; else cxx=clang++; fi
fi
cc=${cxx%++}
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_ASM_COMPILER="$cc" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
