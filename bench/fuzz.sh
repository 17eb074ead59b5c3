#!/usr/bin/env bash
# Builds the fuzz targets of the PE reader and the Authenticode verifier with clang (libFuzzer +
# ASan/UBSan) and runs each for a bounded time, seeded with a packed catalogue module (and, for
# the verifier, a signed one when the signing tools are there). Not part of CI.
#   bench/fuzz.sh [SECONDS]   (each target; default 60; ORCHEL_FUZZ_BUILD_DIR names the build folder)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ORCHEL_FUZZ_BUILD_DIR:-$root/build/fuzz}"
seconds="${1:-60}"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORCHEL_SANITIZE=address -DORCHEL_BUILD_FUZZERS=ON -DORCHEL_BUILD_BENCHMARKS=OFF >/dev/null
ninja -C "$build" pe_image_fuzz authenticode_fuzz orchel-pack-catalogue

corpus="$build/pe_image_corpus"
mkdir -p "$corpus"
printf '<?xml version="1.0"?><Patches/>' >"$build/seed.xml"
"$build/tools/orchel-pack-catalogue" "$build/seed.xml" "$corpus/seed.dll"

"$build/tests/pe_image_fuzz" -max_total_time="$seconds" -max_len=8192 "$corpus"

signed_corpus="$build/authenticode_corpus"
mkdir -p "$signed_corpus"
cp "$corpus/seed.dll" "$signed_corpus/unsigned.dll"
if bash "$root/tests/fixtures/make_signing_fixtures.sh" "$build/signing" "$corpus/seed.dll" >/dev/null 2>&1; then
    cp "$build/signing/kelm-sha256.dll" "$signed_corpus/signed.dll"
fi
"$build/tests/authenticode_fuzz" -max_total_time="$seconds" -max_len=16384 "$signed_corpus"
