#!/usr/bin/env bash
# Sets everything up, builds, and runs the whole suite: a plain build, one
# under AddressSanitizer and UndefinedBehaviorSanitizer, and the in-process
# and process tests under ThreadSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/setup.sh

bash tools/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build && ctest --output-on-failure -j 2)

bash tools/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DZT_SANITIZE=ON
(cd build-asan && ctest --output-on-failure -j 2)

bash tools/build.sh build-tsan --targets "zt_unit_tests zt_process_tests" -DCMAKE_BUILD_TYPE=Debug -DZT_TSAN=ON
(cd build-tsan && ctest --output-on-failure -j 2 -R '^(unit|process)$')
