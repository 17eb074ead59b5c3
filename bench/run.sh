#!/usr/bin/env bash
# Builds the benchmarks in Release to build/bench and runs them. Arguments go to the benchmark
# binary, e.g. --benchmark_filter=RecordUpdate or --benchmark_format=json.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="build/bench"
# -O2 rather than CMake's -O3: g++ 12 reports false -Wrestrict warnings in inlined std::string
# code at -O3, which -Werror turns into errors.
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DORCHEL_BUILD_TESTS=OFF -DORCHEL_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build_dir" -j2 --target orchel_benchmarks
exec "$build_dir/bench/orchel_benchmarks" "$@"
