#!/usr/bin/env bash
# Download throughput of the library's HTTP downloader against `curl -o`, both fetching the
# same 1 GiB file from the same nginx on loopback in one run, written to the same disk. Reports
# the ratio (ours / curl, in throughput; the target is at least 0.9 with PacketCount 64) and
# the downloader's peak memory for a 64 MiB and the 1 GiB file (it must not grow with the
# file's size).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/nginx.sh
source scripts/lib/service_folder.sh

build_dir="build/bench"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORCHEL_BUILD_TESTS=OFF -DORCHEL_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build_dir" -j2 --target orchel-download >/dev/null

work="$(mktemp -d "$PWD/$build_dir/download-XXXXXX")"
cleanup() {
    stop_nginx
    rm -rf "$work"
}
trap cleanup EXIT

# The site: sparse files read as zeros, so making them costs nothing.
mkdir -p "$work/site/Remedor"
truncate -s 1G "$work/site/Remedor/big.bin"
truncate -s 64M "$work/site/Remedor/small.bin"
start_nginx "$work/site" "$work/nginx"
port=$nginx_port

# The service folder of the downloader: one try, 64 KiB packets.
write_service_folder "$work/orv" "$work/patches" "$port" 1
export ORCHEL_ORV_DIR="$work/orv"

ours() {  # prints seconds and peak memory (KiB) of one download
    rm -f "$work/patches/Remedor/$1"
    "$build_dir/bench/orchel-download" "/Remedor/$1" | awk '/^seconds/ { s = $2 } /^peak_rss_kib/ { m = $2 } END { print s, m }'
}
curls() {
    rm -f "$work/curl.bin"
    local start end
    start=$(date +%s.%N)
    curl -s -o "$work/curl.bin" "http://127.0.0.1:$port/Remedor/big.bin"
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}
best() { sort -n | head -1; }

cat "$work/site/Remedor/big.bin" > /dev/null
small_memory=$(ours small.bin | cut -d' ' -f2)
ours_runs=""
curl_runs=""
for _ in 1 2 3; do
    curl_runs+="$(curls)"$'\n'
    ours_runs+="$(ours big.bin)"$'\n'
done
curl_seconds=$(printf '%s' "$curl_runs" | best)
ours_seconds=$(printf '%s' "$ours_runs" | cut -d' ' -f1 | best)
big_memory=$(printf '%s' "$ours_runs" | cut -d' ' -f2 | sort -n | tail -1)
cmp -s "$work/patches/Remedor/big.bin" "$work/site/Remedor/big.bin" || { echo "downloaded file differs" >&2; exit 1; }
awk -v c="$curl_seconds" -v o="$ours_seconds" -v sm="$small_memory" -v bm="$big_memory" 'BEGIN {
    printf "curl -o:         %.3f s (%.0f MiB/s)\n", c, 1024 / c
    printf "orchel download: %.3f s (%.0f MiB/s)\n", o, 1024 / o
    printf "throughput ratio orchel/curl: %.3f\n", c / o
    printf "orchel peak memory: %d KiB for 64 MiB, %d KiB for 1 GiB\n", sm, bm
}'
