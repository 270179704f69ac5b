#!/bin/sh
# run-desktop.sh <desktop program> <expected-desktop.txt>: runs the desktop conformance program on a fresh emulated
# machine whose session has a desktop of two 800x600 monitors side by side, (0,0) primary and (800,0), each work area
# the whole monitor (no taskbar), and compares every line with the expected file. The desktop is set up with the
# stand-in's win32ctl, found through BV_BIN_DIR.
set -u
program=$1
expected=$2
here=$(dirname "$0")
ctl=${BV_BIN_DIR:?BV_BIN_DIR names the folder of win32ctl}/win32ctl
base=$(mktemp -d "${TMPDIR:-/tmp}/bvconformance-desktop.XXXXXX") || exit 1
mkdir -p "$base/root" "$base/tmp"

# Ends what the run left behind: the processes of this machine root only, by their ids.
cleanup() {
  for environ in $(grep -lszxF "WIN32_ROOT=$base/root" /proc/[0-9]*/environ); do
    pid=${environ#/proc/}
    kill -9 "${pid%/environ}" 2>/dev/null
  done
  rm -rf "$base"
}
trap cleanup EXIT

export WIN32_ROOT="$base/root" TMPDIR="$base/tmp" WIN32_SESSION_ID=1
rc=0
{ "$ctl" desktop-reset && "$ctl" monitor-clear &&
  "$ctl" monitor-add 0 0 800 600 work 0 0 800 600 primary &&
  "$ctl" monitor-add 800 0 1600 600 work 800 0 1600 600; } >"$base/setup.txt" 2>&1 || {
  echo "desktop set-up failed"
  cat "$base/setup.txt"
  exit 1
}
timeout 240 "$program" >"$base/output.txt" 2>"$base/stderr.txt" || rc=$?
if [ "$rc" -ne 0 ]; then
  echo "desktop program ended with $rc"
  cat "$base/stderr.txt"
fi
python3 "$here/compare.py" --against standin "$expected" "$base/output.txt" || rc=1
exit "$rc"
