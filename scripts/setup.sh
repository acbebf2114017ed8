#!/usr/bin/env bash
# Installs what building and testing need, when it is missing (Debian packages).
set -euo pipefail
need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v g++ >/dev/null 2>&1 || need+=(g++)
[ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || [ -f /usr/lib/cmake/GTest/GTestConfig.cmake ] \
  || ls /usr/lib/*/cmake/GTest/GTestConfig.cmake >/dev/null 2>&1 || need+=(libgtest-dev)
command -v setpriv >/dev/null 2>&1 || need+=(util-linux)
command -v pkg-config >/dev/null 2>&1 || need+=(pkgconf)
# mido, an independent reader and writer of Standard MIDI Files, for the tests of tovu-ctl.
/usr/bin/python3 -c 'import mido' >/dev/null 2>&1 || need+=(python3-mido)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "Installing: ${need[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi
