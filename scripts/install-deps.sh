#!/usr/bin/env bash
# Installs what Orchel needs to build, test and run, from Debian's packages. Idempotent: when
# every package is present it changes nothing and needs no network. Run as root.
set -euo pipefail

packages=(
    # build
    g++ cmake ninja-build pkg-config
    # libraries behind the platform seam
    libxml2-dev libicu-dev libssl-dev libcurl4-openssl-dev
    # tests and benchmarks
    libgtest-dev libgmock-dev libbenchmark-dev python3
    osslsigncode openssl
    # real servers the download tests talk to on loopback
    nginx tinyproxy curl
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$package")
    fi
done

if [ "${#missing[@]}" -eq 0 ]; then
    echo "install-deps: all ${#packages[@]} packages present"
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
