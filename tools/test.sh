#!/usr/bin/env bash
# Sets everything up, builds, and runs the whole suite twice: a plain build,
# then one under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/setup.sh

bash tools/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build && ctest --output-on-failure -j 2)

bash tools/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DZT_SANITIZE=ON
(cd build-asan && ctest --output-on-failure -j 2)
