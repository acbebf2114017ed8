#!/usr/bin/env bash
# The Python package (python/): builds its wheel offline with Debian's own build backend
# (python3-setuptools and python3-wheel, without build isolation, so nothing is downloaded), installs
# it into a fresh virtual environment (python3-venv) and runs its tests there against the engine
# built in build/ (tovu-engine, and tovu-ctl for the example's comparison). Installs the Debian
# packages it needs when they are missing. scripts/test.sh runs it after the Linux builds.
#
#   scripts/test-python.sh          (needs build/tovu-engine and build/tovu-ctl)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
py=/usr/bin/python3  # Debian's: the packages below are its own

need=()
for pkg in python3-setuptools python3-wheel python3-venv python3-pip python3-mido; do
  dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  "$root/scripts/apt-install.sh" --no-install-recommends "${need[@]}"
fi
for program in build/tovu-engine build/tovu-ctl; do
  [ -x "$program" ] || { echo "test-python: $program is missing (cmake --build build first)"; exit 1; }
done

work=build/python
rm -rf "$work"
mkdir -p "$work"
cp -r python "$work/source"  # the build writes beside its sources: not in the tree
"$py" -m pip wheel --no-build-isolation --no-deps --no-index --quiet --wheel-dir "$work/dist" "$work/source"
"$py" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --no-index --no-deps --quiet "$work"/dist/tovu-*.whl
echo "python: $(cd "$work/dist" && ls tovu-*.whl) installed in a fresh virtual environment"
# From the tests' own directory, so that `import tovu` finds the installed package, not the sources.
cd python/tests
TOVU_ENGINE_BINARY="$root/build/tovu-engine" TOVU_CTL_BINARY="$root/build/tovu-ctl" \
  "$root/$work/venv/bin/python" -W error::ResourceWarning -m unittest -v 2>&1 | tail -n 14
exit "${PIPESTATUS[0]}"
