#!/bin/sh
# run-standin.sh <conformance program> <expected.txt>: runs the conformance program on a fresh emulated machine and
# compares every line with the expected file. The program runs as an elevated administrator, as on Windows it must
# to create a service and write HKEY_LOCAL_MACHINE (the stand-in's account comes from WIN32_ADMIN and
# WIN32_ELEVATED); the stand-in's control manager and win32ctl are found through BV_BIN_DIR.
set -u
program=$1
expected=$2
here=$(dirname "$0")
base=$(mktemp -d "${TMPDIR:-/tmp}/bvconformance.XXXXXX") || exit 1
mkdir -p "$base/root" "$base/tmp"

# Ends what the run left behind: the processes of this machine root only, by their ids.
cleanup() {
  for environ in /proc/[0-9]*/environ; do
    if grep -qszxF "WIN32_ROOT=$base/root" "$environ"; then
      pid=${environ#/proc/}
      kill -9 "${pid%/environ}" 2>/dev/null
    fi
  done
  rm -rf "$base"
}
trap cleanup EXIT

# The machine's devices: the program registers one of its own beside them and looks for USB hubs. Under Wine the
# tree is nearly empty; the lines that differ there say so.
if ! WIN32_ROOT=$base/root "${BV_BIN_DIR:?}/win32ctl" device-load "$here/../fixtures/devices/machine.json" \
  >"$base/devices.txt" 2>&1; then
  echo "win32ctl device-load failed:"
  cat "$base/devices.txt"
  exit 1
fi
WIN32_ROOT=$base/root TMPDIR=$base/tmp WIN32_ADMIN=1 WIN32_ELEVATED=1 \
  timeout 240 "$program" >"$base/output.txt" 2>"$base/stderr.txt"
rc=$?
if [ "$rc" -ne 0 ]; then
  echo "conformance program ended with $rc"
  cat "$base/stderr.txt"
fi
python3 "$here/compare.py" --against standin "$expected" "$base/output.txt" || rc=1
exit "$rc"
