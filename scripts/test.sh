#!/usr/bin/env bash
# Sets up a fresh machine (Debian packages), builds and runs the test suite.
#   scripts/test.sh           the whole suite, normal build
#   scripts/test.sh asan      the whole suite under AddressSanitizer + UBSan
#   scripts/test.sh tsan      the threaded tests under ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."

variant="${1:-normal}"
scripts/install-deps.sh
scripts/build.sh "$variant"

ctest_args=(--test-dir "build/$variant" --output-on-failure -j2)
case "$variant" in
    asan)
        export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
        export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
        ;;
    tsan)
        export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
        # Tests that run several threads carry "Concurrent" in their names.
        ctest_args+=(-R Concurrent)
        ;;
esac
ctest "${ctest_args[@]}"
