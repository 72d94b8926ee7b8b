#!/usr/bin/env bash
# Sets up, builds and runs the workstation. Arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVORAN_TESTS=OFF
cmake --build build -j"$(nproc)" --target halvoran
exec build/halvoran "$@"
