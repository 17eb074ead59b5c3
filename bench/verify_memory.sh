#!/usr/bin/env bash
# Verifies a signed catalogue module of a few hundred bytes and one of 30 MiB, each in its own
# process, and reports each process's peak resident memory: verification streams the file, so
# the two peaks stay close whatever the size.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="build/bench"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORCHEL_BUILD_TESTS=OFF -DORCHEL_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build_dir" -j2 --target orchel-verify orchel-pack-catalogue >/dev/null

work="$build_dir/verify-memory"
rm -rf "$work" && mkdir -p "$work/small" "$work/large"
printf '<?xml version="1.0"?><Patches/>' > "$work/small.xml"
{ printf '<?xml version="1.0"?><Patches>'; head -c $((30 * 1024 * 1024)) /dev/zero | tr '\0' 'x'; printf '</Patches>'; } > "$work/large.xml"
for size in small large; do
    "$build_dir/tools/orchel-pack-catalogue" "$work/$size.xml" "$work/$size/unsigned.dll"
    bash tests/fixtures/make_signing_fixtures.sh "$work/$size" "$work/$size/unsigned.dll" >/dev/null
done
export SSL_CERT_FILE="$work/small/ca.pem"
"$build_dir/bench/orchel-verify" "$work/small/kelm-sha256.dll"
export SSL_CERT_FILE="$work/large/ca.pem"
"$build_dir/bench/orchel-verify" "$work/large/kelm-sha256.dll"
ls -l "$work/small/kelm-sha256.dll" "$work/large/kelm-sha256.dll" | awk '{ print $5, $9 }'
