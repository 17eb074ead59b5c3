#!/usr/bin/env bash
# Sets up a fresh machine, builds Orchel and runs the service host's main job in a demo
# service folder (build/demo/orv) against a local download server.
#
# Today the host performs the service's start sequence, checks its installation (check-setup)
# and downloads a patch from nginx on loopback through the library's HTTP downloader
# (download). The check -> download -> install -> report -> e-mail cycle joins as the
# commands are built.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/nginx.sh
source scripts/lib/service_folder.sh

scripts/install-deps.sh
scripts/build.sh normal

demo="$PWD/build/demo"
rm -rf "$demo"
mkdir -p "$demo/site/Remedor/patches"

# The download server: nginx on a free loopback port, serving one patch.
head -c $((3 * 1024 * 1024)) /dev/urandom > "$demo/site/Remedor/patches/demo-patch.exe"
start_nginx "$demo/site" "$demo/nginx"
trap stop_nginx EXIT
port=$nginx_port

# The service's settings and registry: the server, and where patches go.
write_service_folder "$demo/orv" "$demo/patches" "$port" 3

build/normal/orchel-service --orv-dir "$demo/orv" --product Remedor \
    check-setup download /Remedor/patches/demo-patch.exe
cmp "$demo/site/Remedor/patches/demo-patch.exe" "$demo/patches/Remedor/patches/demo-patch.exe"
echo "downloaded file matches the server's: $demo/patches/Remedor/patches/demo-patch.exe"
echo "--- $demo/orv/RemedorLog.log (last lines)"
tail -n 5 "$demo/orv/RemedorLog.log"
