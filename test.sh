#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite headless.
set -euo pipefail
cd "$(dirname "$0")"
tools/deps.sh
# Warnings are errors here, as in CI.
tools/build.sh build -DTARVEL_WERROR=ON
# The tests mostly wait for the emulated phone, paced to a serial line: two per core.
jobs=$(($(nproc) * 2))

# The tests without windows once more, built with AddressSanitizer, LeakSanitizer
# and UndefinedBehaviorSanitizer (only their own targets are built there; the
# package test is left out: nobody ships sanitized programs).
# Configured afresh every time, so that the list of tests is the current one.
cmake -S . -B build-asan -G Ninja -DTARVEL_SANITIZE=ON -DTARVEL_WERROR=ON >/dev/null
asan_tests=$(ctest --test-dir build-asan -N -LE 'gui|package|tool' | sed -n 's/^ *Test *#[0-9]*: //p')
cmake --build build-asan --parallel "$(nproc)" --target $asan_tests
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
TARVEL_SOAK_RUNS=${TARVEL_SOAK_RUNS_ASAN:-30} \
TARVEL_SOAK_NOISE_TRANSFERS=${TARVEL_SOAK_NOISE_TRANSFERS_ASAN:-60} \
QT_QPA_PLATFORM=offscreen ctest --test-dir build-asan -LE 'gui|package|tool' --output-on-failure --parallel "$jobs"

# Everything that reads what the phone sends, fuzzed for a bounded time per target.
FUZZ_SECONDS=${FUZZ_SECONDS:-6} fuzz/run.sh

cd build
TARVEL_SOAK_RUNS=${TARVEL_SOAK_RUNS:-100} TARVEL_SOAK_NOISE_TRANSFERS=${TARVEL_SOAK_NOISE_TRANSFERS:-200} \
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure --parallel "$jobs"
