#!/usr/bin/env bash
# Builds both libraries and runs the test suite twice on the emulated back end: plain
# (build/) and under AddressSanitizer and UBSan (build-asan/). The CUDA library is built
# when nvcc is present, and its export table is checked too.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DZK_OCU_BUILD_TESTS=ON -DZK_OCU_SANITIZE=OFF
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure --no-tests=error

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZK_OCU_SANITIZE=ON \
  -DZK_OCU_BUILD_CUDA=OFF -DZK_OCU_BUILD_TOOLS=OFF -DZK_OCU_BUILD_TESTS=ON
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan --output-on-failure --no-tests=error
