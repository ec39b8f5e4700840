#!/usr/bin/env bash
# Builds arb2 and runs every test: once as a normal build, once under the
# address and undefined-behaviour sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DARB2_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure --no-tests=error -j"$jobs")

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DARB2_SANITIZE=ON -DARB2_TESTS=ON >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure --no-tests=error -j"$jobs")
