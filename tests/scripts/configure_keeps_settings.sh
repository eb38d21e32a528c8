#!/usr/bin/env bash
# Configures only, in a copy of the source given as $1: the README's
# tools-only build keeps out of the presets' folders; a preset's folder that
# a configure of that build made first is given the preset's settings by the
# scripts' configure; a folder that cannot keep a setting stops it with a
# message naming the folder.
set -euo pipefail
source_dir=$(cd "${1:?usage: configure_keeps_settings.sh SOURCE_DIR}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$work" -xf -
cd "$work"

# 1. The README's tools-only build names a folder no preset uses.
tools_line=$(grep -E '^    cmake -S \. -B [^ ]+ .*-DVT_BUILD_TESTS=OFF' README.md) || fail "README: no tools-only build"
tools_dir=$(sed -E 's/.* -B ([^ ]+) .*/\1/' <<<"$tools_line")
while read -r preset_dir; do
  [ "$tools_dir" != "$preset_dir" ] || fail "the tools-only build uses the preset folder $preset_dir"
done < <(sed -n 's|.*"binaryDir": *"${sourceDir}/\([^"]*\)".*|\1|p' CMakePresets.json)
grep -qxF "    cmake --install $tools_dir --prefix \"\$HOME/vontaro\"" README.md || fail "README: no install from $tools_dir"

# 2. That configure in the release preset's folder, then the scripts' one.
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVT_BUILD_TESTS=OFF -DVT_BUILD_BENCH=OFF >/dev/null
. scripts/configure-common.sh
configure_checked --preset release >/dev/null 2>said || fail "configure_checked: $(cat said)"
cache_value() { sed -n "s/^$1:[A-Z]*=//p" build/release/CMakeCache.txt; }
for expected in CMAKE_BUILD_TYPE=RelWithDebInfo VT_WERROR=ON CMAKE_C_COMPILER=gcc CMAKE_CXX_COMPILER=g++; do
  [ "$(cache_value "${expected%%=*}")" = "${expected#*=}" ] ||
    fail "build/release: ${expected%%=*} is '$(cache_value "${expected%%=*}")', not '${expected#*=}'"
done
grep -qF "$work/build/release" said || fail "no word of the folder configured again: $(cat said)"

# 3. A folder that loses a setting at every configure (here the cache is
# spoiled after each) stops the caller with a message naming it.
cmake() {
  command cmake "$@"
  sed -i 's/^VT_WERROR:BOOL=ON$/VT_WERROR:BOOL=OFF/' build/release/CMakeCache.txt
}
rc=0
configure_checked --preset release >/dev/null 2>said || rc=$?
unset -f cmake
((rc == 1)) || fail "a folder that cannot keep a setting: exit status $rc"
grep -qF "The build folder $work/build/release does not keep the settings asked for (VT_WERROR=ON)" said ||
  fail "the message: $(cat said)"
echo "passed"
