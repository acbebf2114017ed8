#!/usr/bin/env bash
# Installs what building and testing on Linux need, when it is missing (Debian packages): the
# compilers and build tools, GoogleTest, CLI11, mido, JACK and RtMidi. The Windows stage's tools
# (mingw-w64, wine, qemu-user) are scripts/setup-windows.sh's, which only scripts/test.sh and
# scripts/build-windows.sh run: the demo and a Linux build need none of them.
set -euo pipefail
need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v g++ >/dev/null 2>&1 || need+=(g++)
[ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || [ -f /usr/lib/cmake/GTest/GTestConfig.cmake ] \
  || ls /usr/lib/*/cmake/GTest/GTestConfig.cmake >/dev/null 2>&1 || need+=(libgtest-dev)
command -v setpriv >/dev/null 2>&1 || need+=(util-linux)
# clang and its libFuzzer runtime, for the fuzzing harnesses (scripts/fuzz.sh).
command -v clang++ >/dev/null 2>&1 || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
  || ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1 || need+=(libclang-rt-dev)
command -v pkg-config >/dev/null 2>&1 || need+=(pkgconf)
# CLI11 (header-only), which parses tovu-ctl's verbs and options.
[ -f /usr/include/CLI/CLI.hpp ] || need+=(libcli11-dev)
# mido, an independent reader and writer of Standard MIDI Files, for the tests of tovu-ctl.
/usr/bin/python3 -c 'import mido' >/dev/null 2>&1 || need+=(python3-mido)
here=$(dirname "$0")
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  "$here/apt-install.sh" "${need[@]}"
fi
# The real MIDI services: JACK (libjack, and jackd with the dummy driver for the tests) and ALSA
# through RtMidi. jackd2 asks whether to enable real-time scheduling for the audio group: no.
jack=()
command -v pkg-config >/dev/null 2>&1 || jack+=(pkg-config)
command -v jackd >/dev/null 2>&1 || jack+=(jackd2)
pkg-config --exists jack 2>/dev/null || jack+=(libjack-jackd2-dev)
pkg-config --exists rtmidi 2>/dev/null || jack+=(librtmidi-dev)
if [ ${#jack[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "Installing: ${jack[*]}"
  echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections
  "$here/apt-install.sh" --no-install-recommends "${jack[@]}"
fi
