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
# clang and its libFuzzer runtime, for the fuzzing harnesses (scripts/fuzz.sh).
command -v clang++ >/dev/null 2>&1 || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
  || ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1 || need+=(libclang-rt-dev)
command -v pkg-config >/dev/null 2>&1 || need+=(pkgconf)
# CLI11 (header-only), which parses tovu-ctl's verbs and options.
[ -f /usr/include/CLI/CLI.hpp ] || need+=(libcli11-dev)
# mido, an independent reader and writer of Standard MIDI Files, for the tests of tovu-ctl.
/usr/bin/python3 -c 'import mido' >/dev/null 2>&1 || need+=(python3-mido)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "Installing: ${need[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
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
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${jack[@]}"
fi
# The Windows stage (scripts/build-windows.sh, scripts/test-windows.sh): the mingw-w64 cross
# compilers with the posix thread model, GoogleTest's sources (built with them), wine for 64- and
# 32-bit programs (wine32 is an i386 package), and qemu-user for wine's 32-bit loader on a kernel
# that cannot run 32-bit programs itself.
win=()
for pkg in g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix gcc-mingw-w64-x86-64-posix \
           gcc-mingw-w64-i686-posix googletest wine wine64 wine32:i386 qemu-user-static; do
  dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q "install ok installed" || win+=("$pkg")
done
if [ ${#win[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "Installing: ${win[*]}"
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${win[@]}"
fi
# wine's 32-bit loader is an i386 program: where the kernel cannot run it, qemu-i386 is registered
# for i386 programs (binfmt_misc; the F flag opens the interpreter now, so it works in containers).
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  binfmt=/proc/sys/fs/binfmt_misc
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: wine's 32-bit loader does not run here, and registering qemu-i386 for it needs root:" \
         "the win32 Windows tests will be skipped"
  else
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
    if [ -e "$binfmt/qemu-i386" ]; then
      echo 1 > "$binfmt/qemu-i386" 2>/dev/null || true
    elif [ -w "$binfmt/register" ] && [ -x /usr/bin/qemu-i386-static ]; then
      echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
        > "$binfmt/register" 2>/dev/null || true
    fi
    /usr/lib/wine/wine --version >/dev/null 2>&1 \
      || echo "setup: wine's 32-bit loader does not run here (no binfmt_misc to register qemu-i386 with):" \
              "the win32 Windows tests will be skipped"
  fi
fi
