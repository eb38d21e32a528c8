#!/usr/bin/env bash
# Installs the build in $1 into a temporary prefix, moves the installed tree
# and runs the README's recipe ("Shipping a setup of your own") from it, word
# for word: its inner setup, built against the installed headers and
# libraries, lists the files it carries and its arguments. The installed
# programs carry no debug information, the result has the size the README
# gives, and the README's registry lines turn the log on.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: ship-test.sh BUILD_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/installed" >/dev/null
mv "$work/installed" "$work/moved"
# Programs and libraries are installed without debug information or symbols.
for f in "$work/moved/bin/"* "$work/moved/lib/vontaro/"*; do
  if readelf -SW "$f" | grep -qE ' \.(debug_info|symtab) '; then
    echo "installed with debug information or symbols: ${f#"$work/moved/"}"; exit 1
  fi
done
recipe=$(awk '/^## Shipping a setup of your own/ { in_section = 1 }
              in_section && /^```sh/ { in_block = 1; next }
              in_block && /^```/ { exit }
              in_block' README.md)
[ -n "$recipe" ] || { echo "README: no recipe found"; exit 1; }

mkdir "$work/ship" "$work/tmp"
(cd "$work/ship" && VT="$work/moved" TMPDIR="$work/tmp" bash -euo pipefail -c "$recipe") >"$work/out" 2>&1 ||
  { cat "$work/out"; echo "the recipe failed"; exit 1; }
expected="My Product setup
  file info.dat, 98 bytes
  file License.txt, 17 bytes
  /installer_filename=$work/ship/my_product_setup
  /silent_installer
  /ProductCaption=My
  Product"
# The console build's progress line comes first.
if [[ "$(cat "$work/out")" != *"$expected" ]]; then
  echo "the shipped setup printed:"; cat "$work/out"
  echo "expected:"; echo "$expected"
  exit 1
fi
[ -z "$(ls -A "$work/tmp")" ] || { echo "setup folder left behind:"; ls -A "$work/tmp"; exit 1; }

# The size the README gives for the result (within 5% either way).
stated=$(awk '/^## Shipping a setup of your own/,/^## The log/' README.md | tr '\n' ' ' |
         sed -n 's/.*`my_product_setup` comes to about \([0-9.]*\) MB.*/\1/p')
size=$(stat -c %s "$work/ship/my_product_setup")
echo "my_product_setup: $size bytes; Setup.lzma $(stat -c %s "$work/ship/Setup.lzma") of Setup.pak" \
     "$(stat -c %s "$work/ship/Setup.pak") bytes; vt_install $(stat -c %s "$work/moved/lib/vontaro/vt_install")," \
     "vt_lzma $(stat -c %s "$work/moved/bin/vt_lzma") bytes"
[ -n "$stated" ] || { echo "README: the recipe's result has no size"; exit 1; }
awk -v s="$stated" -v a="$size" 'BEGIN { exit !(a >= s * 950000 && a <= s * 1050000) }' ||
  { echo "my_product_setup is $size bytes; the README says about $stated MB"; exit 1; }

# The README's registry lines turn the log on.
mkdir -m 700 "$work/registry"
awk '/^## / { in_section = $0 == "## The log" } in_section && /^    / { sub(/^    /, ""); print }' README.md \
  >"$work/registry/HKEY_LOCAL_MACHINE.reg"
(cd "$work/ship" && VT_MACHINE_REGISTRY_DIR="$work/registry" TMPDIR="$work/tmp" ./my_product_setup >/dev/null 2>&1)
grep -q -- "-Started-" "$work/ship/Logs/my_product_setup.log" 2>/dev/null ||
  { echo "the README's registry lines did not turn the log on"; exit 1; }
echo "shipped setup ran from the moved install"
