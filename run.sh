#!/usr/bin/env bash
# Installs what is needed, builds, and starts Tarvel.
set -euo pipefail
cd "$(dirname "$0")"
tools/deps.sh
tools/build.sh build
exec build/bin/tarvel
