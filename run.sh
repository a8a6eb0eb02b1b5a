#!/usr/bin/env bash
# Installs what is missing, builds the release, and starts the program.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/deps
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVANE_TESTS=OFF
cmake --build build-release -j "$(nproc)"
exec build-release/cli/norvane-cli --version "$@"
