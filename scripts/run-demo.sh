#!/usr/bin/env bash
# Installs what is missing, builds the demo host, diagconsole-cmd and both example modules, and
# starts the host with the modules.
#   scripts/run-demo.sh              on port 2323
#   PORT=2424 scripts/run-demo.sh    on another port; further arguments go to the host
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j2 --target diagconsole-host diagconsole-cmd example_orders example_legacy
exec build/apps/diagconsole-host --port "${PORT:-2323}" \
  --module build/examples/libexample_orders.so --module build/examples/libexample_legacy.so "$@"
