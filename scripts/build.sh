#!/usr/bin/env bash
# Configures and builds one variant: normal (default), asan (AddressSanitizer +
# UndefinedBehaviorSanitizer) or tsan (ThreadSanitizer). The build goes to build/<variant>.
set -euo pipefail
cd "$(dirname "$0")/.."

variant="${1:-normal}"
case "$variant" in
    normal) sanitize="" ;;
    asan) sanitize="address" ;;
    tsan) sanitize="thread" ;;
    *) echo "usage: $0 [normal|asan|tsan]" >&2; exit 2 ;;
esac

build_dir="build/$variant"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORCHEL_SANITIZE="$sanitize" >/dev/null
cmake --build "$build_dir" -j2
