#!/usr/bin/env bash
# Installs the build in $1 into a temporary prefix, moves the installed tree
# and runs the README's recipe ("Shipping a setup of your own") from it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: ship-test.sh BUILD_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/installed" >/dev/null
mv "$work/installed" "$work/moved"
recipe=$(awk '/^## Shipping a setup of your own/ { in_section = 1 }
              in_section && /^```sh/ { in_block = 1; next }
              in_block && /^```/ { exit }
              in_block' README.md)
[ -n "$recipe" ] || { echo "README: no recipe found"; exit 1; }

mkdir "$work/ship" "$work/tmp"
(cd "$work/ship" && VT="$work/moved" TMPDIR="$work/tmp" bash -euo pipefail -c "$recipe") >"$work/out" 2>&1 ||
  { cat "$work/out"; echo "the recipe failed"; exit 1; }
expected="My Product setup
  /installer_filename=$work/ship/my_product_setup
  /quiet
  /ProductCaption=My
  Product"
# The console build's progress line comes first.
if [[ "$(cat "$work/out")" != *"$expected" ]]; then
  echo "the shipped setup printed:"; cat "$work/out"
  echo "expected:"; echo "$expected"
  exit 1
fi
[ -z "$(ls -A "$work/tmp")" ] || { echo "setup folder left behind:"; ls -A "$work/tmp"; exit 1; }
echo "shipped setup ran from the moved install"
