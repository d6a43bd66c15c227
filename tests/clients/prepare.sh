#!/usr/bin/env bash
# Builds both client packages around HELPER and installs them as a host developer
# would: the wheel into a fresh venv, the npm tarball into a project.   prepare.sh HELPER DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=$2
rm -rf "$dir/packages" "$dir/venv" "$dir/node" "$dir/scratch"
mkdir -p "$dir/scratch" "$dir/node"
bash "$here/../../clients/build_packages.sh" "$1" "$dir/packages" >/dev/null

# NumPy, where the system has it, stays visible: chunks then offer arrays.
python3 -m venv --system-site-packages "$dir/venv"
"$dir/venv/bin/python" -m pip install --quiet --no-index --no-deps --disable-pip-version-check "$dir"/packages/*.whl

cd "$dir/node"
echo '{"name":"client-tests","private":true,"type":"module"}' >package.json
npm install --offline --no-audit --no-fund --silent "$dir"/packages/*.tgz
cp "$here"/*.mjs "$here"/*.json .
