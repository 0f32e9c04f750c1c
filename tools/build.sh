#!/usr/bin/env bash
# Configures and builds Tarvel in the folder given as $1 (default: build). Further
# arguments are CMake options, applied to the folder's configuration every time;
# without them an existing configuration is kept as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
shift || true
if [ ! -f "$build_dir/CMakeCache.txt" ] || (($#)); then
    cmake -S . -B "$build_dir" -G Ninja "$@"
fi
cmake --build "$build_dir" --parallel "$(nproc)"
