#!/usr/bin/env bash
# The checks that need a GPU, in one run: build the CUDA library and the tests against
# it, run the suite, run compute-sanitizer's memcheck, racecheck and synccheck over it,
# and print a summary. Results also go to $OUT when that is set.
set -uo pipefail
cd "$(dirname "$0")/.."
out=${OUT:-build-gpu/results}
mkdir -p "$out"
summary=()
step() {
  local name=$1
  shift
  local start=$SECONDS
  if "$@" >"$out/$name.log" 2>&1; then
    summary+=("$name: ok ($((SECONDS - start)) s)")
  else
    summary+=("$name: FAILED ($((SECONDS - start)) s), see $name.log")
  fi
  tail -n 5 "$out/$name.log"
}

nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader | tee "$out/gpu.txt"
step configure cmake -S . -B build-gpu -DCMAKE_BUILD_TYPE=Release -DZK_OCU_BUILD_EMU=OFF \
  -DZK_OCU_TEST_BACKEND=cuda -DZK_OCU_BUILD_TOOLS=ON
step build cmake --build build-gpu -j "$(nproc)"
cp build-gpu/ptxas_resource_usage.txt "$out/" 2>/dev/null
step tests ctest --test-dir build-gpu --output-on-failure
step info build-gpu/bin/zk_ocu_info
sanitizer=$(command -v compute-sanitizer || echo /usr/local/cuda/bin/compute-sanitizer)
# Each sanitizer pass is capped so that the whole check stays within its time budget.
for tool in memcheck racecheck synccheck; do
  step "sanitizer-$tool" timeout 100 "$sanitizer" --tool "$tool" --error-exitcode 1 \
    build-gpu/bin/zk_ocu_tests --gtest_brief=1
done
if [ -x build-gpu/bin/zk_ocu_bench ]; then
  step bench build-gpu/bin/zk_ocu_bench
fi
printf '%s\n' "${summary[@]}" | tee "$out/summary.txt"
! grep -q FAILED "$out/summary.txt"
