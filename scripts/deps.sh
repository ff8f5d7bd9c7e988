#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
#   scripts/deps.sh [CMAKE_ARGUMENTS...]
# The arguments are those the build will get: with -DTOLVANE_BENCH=OFF the benchmarks' peers
# are left out.
set -euo pipefail

# The real telnet clients (inetutils, BusyBox) and expect drive the front end in the tests; clang
# builds the fuzz targets; Mono's compiler and runtime build and run the C# facade.
packages=(g++ cmake ninja-build pkg-config libsqlite3-dev libpugixml-dev libgtest-dev libbenchmark-dev
  expect inetutils-telnet busybox clang libclang-rt-14-dev mono-mcs mono-runtime)
# The libraries diagbench compares ours against; nothing outside bench/ builds against them.
bench=1
for argument in "$@"; do [[ $argument == -DTOLVANE_BENCH=OFF ]] && bench=0; done
((bench)) && packages+=(libconcurrentqueue-dev libasio-dev libuv1-dev libspdlog-dev)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$p")
done
((${#missing[@]})) || exit 0

echo "Installing: ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "Not root and no sudo: install ${missing[*]} by hand." >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
