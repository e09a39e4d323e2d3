#!/usr/bin/env bash
# Builds the program alone, optimised, in build-release/ and prints the path of the binary.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh >&2
nice -n 10 cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DRAVU_TESTS=OFF >/dev/null
nice -n 10 cmake --build build-release -j2 --target ravu-calendar >/dev/null
echo "$PWD/build-release/ravu-calendar"
