#!/usr/bin/env bash
# The main job: builds the release preset and runs bootstrappers that carry
# the sample inner setup, end to end. The sample setup prints what it
# received: its command line, the folder it runs in and the files beside it,
# its subsystem. Its exit code becomes the bootstrapper's.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/configure-common.sh
scripts/deps.sh
configure_checked --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"

bin=build/release/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TMPDIR="$work"

run() {
  echo
  echo "=== $*"
  set +e
  "$@"
  local code=$?
  set -e
  echo "--- exit code: $code; left in the temporary folder: $(ls -A "$work" | wc -l) entries"
}

# Console build, LZMA-compressed payload: "Please wait..." with one dot per
# step, erased before the inner setup starts; Setup.exe switched to console.
VT_SAMPLE_SETUP_EXIT_CODE=42 run "$bin/vt_setup_console" /install /vs_integrated "a b"

# Console build, payload stored as is, no arguments: the inner setup gets
# /no_params.
run "$bin/vt_setup_console_plain"

# Windowed build, payload stored as is, no arguments: the progress window
# (a real window when DISPLAY names a display, and on standard error when it
# is a terminal); Setup.exe left windowed.
[ -n "${DISPLAY:-}" ] && echo "(windows show on display $DISPLAY)"
run "$bin/vt_setup_windowed_plain"

# Windowed build that fails (its temporary folder holds a backslash): the
# error box, on the display a window that waits for Enter or a click.
mkdir -p "$work/back\\slash"
TMPDIR="$work/back\\slash" run "$bin/vt_setup_windowed"

# Windowed build started silently: no progress, Setup.exe switched to
# console. The inner exit code passes through; 3010 arrives as 194 (Linux
# keeps 8 bits of an exit status).
run "$bin/vt_setup_windowed" -SILENT_INSTALLER /exit_code=3010
