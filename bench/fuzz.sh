#!/usr/bin/env bash
# Builds the PE reader's fuzz target with clang (libFuzzer + ASan/UBSan) and runs it for a
# bounded time, seeded with packed catalogue modules. Not part of CI.
#   bench/fuzz.sh [SECONDS]   (default 60; ORCHEL_FUZZ_BUILD_DIR names the build folder)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ORCHEL_FUZZ_BUILD_DIR:-$root/build/fuzz}"
seconds="${1:-60}"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORCHEL_SANITIZE=address -DORCHEL_BUILD_FUZZERS=ON -DORCHEL_BUILD_BENCHMARKS=OFF >/dev/null
ninja -C "$build" pe_image_fuzz orchel-pack-catalogue

corpus="$build/pe_image_corpus"
mkdir -p "$corpus"
printf '<?xml version="1.0"?><Patches/>' >"$build/seed.xml"
"$build/tools/orchel-pack-catalogue" "$build/seed.xml" "$corpus/seed.dll"

"$build/tests/pe_image_fuzz" -max_total_time="$seconds" -max_len=8192 "$corpus"
