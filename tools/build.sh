#!/usr/bin/env bash
# Configures and builds Tarvel in the folder given as $1 (default: build). Further
# arguments are CMake options, applied to the folder's configuration every time;
# without them an existing configuration is kept as it is. "--target NAME" (any
# number of times) builds only those targets and what they need; without it,
# everything is built, the tests and benchmarks included.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
shift || true
options=()
targets=()
while (($#)); do
    if [ "$1" = --target ] && (($# >= 2)); then
        targets+=(--target "$2")
        shift 2
    else
        options+=("$1")
        shift
    fi
done
if [ ! -f "$build_dir/CMakeCache.txt" ] || ((${#options[@]})); then
    cmake -S . -B "$build_dir" -G Ninja ${options[@]+"${options[@]}"}
fi
cmake --build "$build_dir" --parallel "$(nproc)" ${targets[@]+"${targets[@]}"}
