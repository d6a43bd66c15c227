#!/usr/bin/env bash
# Builds the client packages around a built helper, offline:
#   clients/build_packages.sh HELPER OUT_DIR
# OUT_DIR gets the Python wheel (helper inside) and the npm tarball.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
helper=$1
out=$(mkdir -p "$2" && cd "$2" && pwd)
stage="$out/stage"
rm -rf "$stage" "$out"/*.whl "$out"/*.tgz
mkdir -p "$stage"

# The Python package, staged so that the build leaves the tree clean.
cp -r "$here/python" "$stage/python"
rm -rf "$stage/python/zentrell_audio/__pycache__"
mkdir -p "$stage/python/zentrell_audio/bin"
install -m 755 "$helper" "$stage/python/zentrell_audio/bin/zentrell-audio-helper"
# Any Python with setuptools and wheel builds it; Debian's has both.
python=
for candidate in python3 /usr/bin/python3; do
  if "$candidate" -c 'import setuptools, wheel' 2>/dev/null; then python=$candidate; break; fi
done
if [ -z "$python" ]; then
  echo "no Python with setuptools and wheel (bash tools/setup.sh installs them)" >&2
  exit 1
fi
"$python" -m pip wheel --quiet --no-build-isolation --no-deps --no-index \
  --wheel-dir "$out" "$stage/python"

# The Node.js module.
(cd "$here/node" && npm pack --silent --pack-destination "$out" >/dev/null)
rm -rf "$stage"
ls "$out"/*.whl "$out"/*.tgz
