#!/usr/bin/env bash
# Sets up a fresh machine, builds Orchel and runs the service host's main job in a demo
# service folder (build/demo/orv).
#
# Today the host performs the service's start sequence and checks its installation
# (check-setup); the check -> download -> install -> report -> e-mail cycle against local
# servers joins as the commands are built.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh normal

demo="$PWD/build/demo/orv"
mkdir -p "$demo"
cp host/RemedorService.strings "$demo/"
build/normal/orchel-service --orv-dir "$demo" --product Remedor check-setup
echo "--- $demo/RemedorLog.log (last lines)"
tail -n 5 "$demo/RemedorLog.log"
