#!/usr/bin/env bash
# Installs the system packages that building and testing need, when missing.
# Safe to run repeatedly: it does nothing once everything is present.
# With the argument "fuzz" it also installs clang with libFuzzer.
set -euo pipefail

pkgs=(cmake ninja-build g++ make libgtest-dev libbenchmark-dev)
[ "${1:-}" = fuzz ] && pkgs+=(clang-19 libclang-rt-19-dev)
need=()
for pkg in "${pkgs[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if ! command -v python3 >/dev/null 2>&1; then
  need+=(python3 python3-venv)
elif ! python3 -c 'import venv, ensurepip' >/dev/null 2>&1; then
  need+=(python3-venv)
fi

if ((${#need[@]})); then
  echo "installing: ${need[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}" >/dev/null
fi
