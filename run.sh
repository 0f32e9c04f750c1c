#!/usr/bin/env bash
# Installs what is needed, builds, and starts Tarvel connected to the emulated phone.
set -euo pipefail
cd "$(dirname "$0")"
tools/deps.sh
# Only what this script runs; ./test.sh builds the tests and benchmarks.
if [ ! -x build/bin/tarvel ] || [ ! -x build/bin/tarvel-cli ] || [ ! -x build/bin/phonesim ]; then
    echo "Building Tarvel, the command-line tool and the emulated phone. The first build takes"
    echo "a few minutes (about 3 on a 2-core machine); later runs build only what changed."
fi
tools/build.sh build --target tarvel --target tarvel-cli --target phonesim --target sumlet

# Tarvel runs with a configuration folder of its own, so the user's settings, port
# links and component registration stay as they are; Com 1 there is the emulated phone.
workdir=$(mktemp -d "${TMPDIR:-/tmp}/tarvel-run.XXXXXX")
phone_pid=""
tarvel_pid=""
cleanup() {
    if [ -n "$tarvel_pid" ]; then
        kill "$tarvel_pid" 2>/dev/null || true
        wait "$tarvel_pid" 2>/dev/null || true
    fi
    if [ -n "$phone_pid" ]; then
        kill "$phone_pid" 2>/dev/null || true
        wait "$phone_pid" 2>/dev/null || true
    fi
    rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# The emulated phone with its demo content prints its device as its first line.
build/bin/phonesim >"$workdir/phone.out" 2>"$workdir/phone.err" &
phone_pid=$!
device=""
for _ in $(seq 100); do
    device=$(head -n 1 "$workdir/phone.out" 2>/dev/null || true)
    [ -n "$device" ] && break
    kill -0 "$phone_pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$device" ]; then
    echo "The emulated phone did not start:" >&2
    cat "$workdir/phone.err" >&2
    exit 1
fi
echo "Emulated phone on $device (Com 1 in this run)."

export XDG_CONFIG_HOME="$workdir/config"
export XDG_DATA_HOME="$workdir/data"
mkdir -p "$XDG_CONFIG_HOME/tarvel/ports" "$XDG_DATA_HOME"
ln -s "$device" "$XDG_CONFIG_HOME/tarvel/ports/com1"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "There is no display here (neither DISPLAY nor WAYLAND_DISPLAY is set), so the Tarvel"
    echo "window cannot open. The same job with the command-line tool instead:"
    echo "connect to the emulated phone, list its root folder, show model and memory."
    echo
    echo "\$ tarvel-cli --port 1 ls"
    build/bin/tarvel-cli --port 1 ls
    echo
    echo "\$ tarvel-cli --port 1 info"
    build/bin/tarvel-cli --port 1 info
    exit 0
fi

echo "Double-click \"Mobile...\" to connect. Closing Tarvel stops the emulated phone."
# In the background, so that a signal to this script still cleans up at once.
build/bin/tarvel &
tarvel_pid=$!
status=0
wait "$tarvel_pid" || status=$?
tarvel_pid=""
exit "$status"
