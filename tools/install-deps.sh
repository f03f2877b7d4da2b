#!/usr/bin/env bash
# Installs the system packages that building and testing need, when missing.
# Safe to run repeatedly: it does nothing once everything is present.
# With the argument "demo" it installs only what building the library and
# running the demo need; with "fuzz", also clang with libFuzzer.
set -euo pipefail

# ccache: the packaging tests build the library again the ways users do,
# and those builds reuse the objects of an identical earlier one.
pkgs=(cmake ninja-build g++ make pkg-config ccache)
full=1
case "${1:-}" in
  demo) full=0 ;;
  # chromium: the explorer page's test drives it headless. postgresql: the
  # tests start a throwaway server of their own in a temporary folder.
  fuzz) pkgs+=(libgtest-dev libbenchmark-dev chromium postgresql clang-19 libclang-rt-19-dev) ;;
  *) pkgs+=(libgtest-dev libbenchmark-dev chromium postgresql) ;;
esac
need=()
for pkg in "${pkgs[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if ! command -v python3 >/dev/null 2>&1; then
  need+=(python3 python3-venv)
elif ! python3 -c 'import venv, ensurepip' >/dev/null 2>&1; then
  need+=(python3-venv)
fi
# The Spark tests run a local Spark session, which needs a Java runtime (17+).
want_java=0
((full)) && ! command -v java >/dev/null 2>&1 && want_java=1

if ((${#need[@]} || want_java)); then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  if ((want_java)); then
    # Debian releases without Java 17 get their default runtime (a later one).
    if apt-cache show openjdk-17-jre-headless >/dev/null 2>&1; then
      need+=(openjdk-17-jre-headless)
    else
      need+=(default-jre-headless)
    fi
  fi
  if [[ " ${need[*]} " == *" postgresql "* ]] && [ ! -e /etc/postgresql-common/createcluster.conf ]; then
    # The package would create and start a cluster on a TCP port; the tests
    # need only the server's programs.
    $sudo mkdir -p /etc/postgresql-common
    echo "create_main_cluster = false" | $sudo tee /etc/postgresql-common/createcluster.conf >/dev/null
  fi
  echo "installing: ${need[*]}"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}" >/dev/null
fi
