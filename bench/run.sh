#!/usr/bin/env bash
# Builds the benchmarks in Release to build/bench and runs them. Arguments go to the benchmark
# binary, e.g. --benchmark_filter=RecordUpdate or --benchmark_format=json.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="build/bench"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORCHEL_BUILD_TESTS=OFF -DORCHEL_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build_dir" -j2 --target orchel_benchmarks
exec "$build_dir/bench/orchel_benchmarks" "$@"
