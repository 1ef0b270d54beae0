#!/usr/bin/env bash
# Builds the release tree and starts the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build
if [ -x build/paramdeck ]; then
  exec build/paramdeck "$@"
fi
exec build/paramdeck-cli --help
