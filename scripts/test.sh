#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: a release build, and a build
# with the address and undefined-behaviour sanitizers; then the channel tests under the thread
# sanitizer. Any failure or sanitizer report fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs="$(nproc)"
# Sanitizer findings abort the process, so a finding in a child qorveltools run can never pass
# for an ordinary exit status.
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1"
export LSAN_OPTIONS="exitcode=97"

echo "== release build and tests"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_BENCH=OFF >/dev/null
cmake --build build/release
(cd build/release && ctest --output-on-failure -j"$jobs")

echo "== sanitizer build and tests"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_SANITIZE=ON \
  -DQV_BENCH=OFF >/dev/null
cmake --build build/sanitize
(cd build/sanitize && ctest --output-on-failure -j"$jobs")

# The channel runs tools on four threads at once, and the image tools split their work over
# QV_THREADS threads: the channel tests, the pool, shared tile lock and threaded-output tests
# (and the qorveltools they start) once more under the thread sanitizer; a report in any process
# fails them.
echo "== thread sanitizer build, channel and threaded-output tests"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TSAN=ON \
  -DQV_BENCH=OFF >/dev/null
cmake --build build/tsan --target qorveltools ipc_tests base_tests memory_tests \
  threaded_outputs_tests
TSAN_OPTIONS="halt_on_error=1:exitcode=66" build/tsan/tests/ipc/ipc_tests
TSAN_OPTIONS="halt_on_error=1:exitcode=66" build/tsan/tests/base/base_tests --gtest_filter='Threads.*'
TSAN_OPTIONS="halt_on_error=1:exitcode=66" build/tsan/tests/memory/memory_tests \
  --gtest_filter='TiledImageTest.SharedTileLocks*'
TSAN_OPTIONS="halt_on_error=1:exitcode=66" build/tsan/tests/tools/threaded_outputs_tests

echo "== fuzz targets, a few seconds each"
bash scripts/fuzz.sh "${QV_FUZZ_SECONDS:-5}"
