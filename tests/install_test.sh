#!/usr/bin/env bash
# The example client and the installed client library, as a user meets them.
#   install_test.sh run <play_song> <tovu-engine>
#       runs the example built in the tree against an engine with virtual outputs
#   install_test.sh install <build dir> <example source> [compiler flags...]
#       installs the build into a temporary prefix, builds the example against the installed
#       pkg-config file alone and runs it against the installed engine
# Each run uses its own temporary directory for the bus socket, settings and virtual log.
set -euo pipefail
mode=$1
shift
tmp=$(mktemp -d /tmp/tovu-install-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
export TOVU_ENGINE_SOCKET="$tmp/run/TovuEngine.sock"
export TOVU_SETTINGS_DIR="$tmp/settings"
export TOVU_MIDI=virtual
export TOVU_VIRTUAL_OUTPUTS=1
export TOVU_VIRTUAL_LOG="$tmp/virtual.log"

check_played() {  # <program> <engine>
  TOVU_ENGINE_BINARY=$2 "$1" > "$tmp/out.txt"
  grep -qx played "$tmp/out.txt"
  # The four notes of the example, struck and released, reached the virtual output.
  [ "$(grep -c ' data out0 90 .. 64$' "$TOVU_VIRTUAL_LOG")" -eq 4 ]
  [ "$(grep -c ' data out0 90 .. 00$' "$TOVU_VIRTUAL_LOG")" -eq 4 ]
}

case $mode in
  run)
    check_played "$1" "$2"
    ;;
  install)
    build=$1 source=$2
    shift 2
    cmake --install "$build" --prefix "$tmp/prefix" > /dev/null
    for f in bin/tovu-engine bin/tovu-ctl include/tovu/client/tovu_client.h include/tovu/client/smf.h \
             share/man/man1/tovu-ctl.1; do
      [ -e "$tmp/prefix/$f" ] || { echo "not installed: $f"; exit 1; }
    done
    pc=$(ls -d "$tmp"/prefix/lib*/pkgconfig)
    flags=$(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs tovu-client)
    libdir=$(PKG_CONFIG_PATH=$pc pkg-config --variable=libdir tovu-client)
    # Only the installed headers and library: the source tree is not on the include path.
    c++ -std=c++20 "$@" "$source" $flags -Wl,-rpath,"$libdir" -o "$tmp/play_song"
    check_played "$tmp/play_song" "$tmp/prefix/bin/tovu-engine"
    "$tmp/prefix/bin/tovu-ctl" --help | grep -q 'play FILE.mid'
    "$tmp/prefix/bin/tovu-ctl" --version | grep -qx 'tovu-ctl [0-9.]*'
    # The manual page, formatted when man is there.
    grep -q '^\.TH TOVU-CTL 1' "$tmp/prefix/share/man/man1/tovu-ctl.1"
    if command -v man >/dev/null 2>&1; then
      MANWIDTH=80 man -l "$tmp/prefix/share/man/man1/tovu-ctl.1" 2>/dev/null | grep -q 'Silences every output port'
    fi
    ;;
esac
echo "ok"
