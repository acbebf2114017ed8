#!/usr/bin/env bash
# apt-install.sh [--no-install-recommends] PACKAGE...: installs Debian packages for the setup
# scripts, as root or through sudo. A mirror being synchronised makes `apt-get update` fail now and
# then ("File has unexpected size ... Mirror sync in progress?"): the update is tried twice, and
# then the install goes on with the indexes there are; the install is tried twice too, each after
# an update.
set -uo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
options=(-y -qq)
if [ "${1:-}" = "--no-install-recommends" ]; then
  options+=(--no-install-recommends)
  shift
fi
update() {
  local try
  for try in 1 2; do
    $SUDO apt-get update -qq && return 0
    echo "apt-get update failed (try $try of 2)"
    [ "$try" -eq 2 ] || sleep 15
  done
  echo "apt-get update failed twice: installing from the package indexes there are"
}
for try in 1 2; do
  update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install "${options[@]}" "$@" && exit 0
  echo "apt-get install failed (try $try of 2)"
  [ "$try" -eq 2 ] || sleep 15
done
exit 1
