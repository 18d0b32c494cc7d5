#!/bin/sh
# Builds the service and the instrument simulator the README uses, then runs
# the service in the foreground with a registry file that holds one sample
# instrument device. Stop it with Ctrl-C.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target vornsvc vorn-instrument-sim
registry=build/linux/registry.reg
# The service writes its own defaults into the file; keep the repo's copy clean.
[ -f "$registry" ] || cp config/default-registry.reg "$registry"
exec build/linux/vornsvc --registry "$registry"
