#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail

# The real telnet clients (inetutils, BusyBox) and expect drive the front end in the tests; clang
# builds the fuzz targets; Mono's compiler and runtime build and run the C# facade.
packages=(g++ cmake ninja-build pkg-config libsqlite3-dev libpugixml-dev libgtest-dev libbenchmark-dev
  expect inetutils-telnet busybox clang libclang-rt-14-dev mono-mcs mono-runtime)

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
