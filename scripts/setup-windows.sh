#!/usr/bin/env bash
# Installs what the Windows stage needs, when it is missing (Debian packages), for
# scripts/build-windows.sh and scripts/test-windows.sh; scripts/test.sh runs it before that stage.
# This changes the machine more than scripts/setup.sh does: it adds the i386 architecture for
# 32-bit wine and, where the kernel cannot run 32-bit programs, registers qemu-user for them
# (binfmt_misc, as root) until the machine restarts.
set -euo pipefail
# The Windows stage (scripts/build-windows.sh, scripts/test-windows.sh): the mingw-w64 cross
# compilers with the posix thread model, GoogleTest's sources (built with them), wine for 64- and
# 32-bit programs (wine32 is an i386 package), and qemu-user for wine's 32-bit loader on a kernel
# that cannot run 32-bit programs itself.
win=()
for pkg in g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix gcc-mingw-w64-x86-64-posix \
           gcc-mingw-w64-i686-posix googletest wine wine64 wine32:i386 qemu-user-static cmake ninja-build; do
  dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q "install ok installed" || win+=("$pkg")
done
if [ ${#win[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "Installing: ${win[*]}"
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  # wine32 comes from the i386 indexes, which a mirror being synchronised may lack for a while (its
  # libraries then cannot match the amd64 ones): everything else first, and without wine32 the
  # win32 programs are still built, their tests skipped and said so (scripts/test-windows.sh).
  rest=()
  for pkg in "${win[@]}"; do [ "$pkg" = wine32:i386 ] || rest+=("$pkg"); done
  [ ${#rest[@]} -eq 0 ] || "$(dirname "$0")/apt-install.sh" --no-install-recommends "${rest[@]}"
  if [ ${#rest[@]} -ne ${#win[@]} ] && ! "$(dirname "$0")/apt-install.sh" --no-install-recommends wine32:i386; then
    echo "setup: wine32 cannot be installed now: the win32 Windows tests will be skipped"
  fi
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
