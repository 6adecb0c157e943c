#!/usr/bin/env bash
# Builds the libraries and runs the device tool: it loads the library as the engine
# does, on the GPU when there is one and on the emulated device otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DZK_OCU_BUILD_TOOLS=ON >/dev/null
cmake --build build -j "$(nproc)" --target zk_ocu_info >/dev/null
build/bin/zk_ocu_info
