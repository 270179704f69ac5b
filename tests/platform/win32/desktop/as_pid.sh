#!/bin/sh
# as_pid.sh <pid> <test program> [arguments]: runs the tests of a test program as process <pid>, in a pid
# namespace of its own, so a test runs as a process that has an id it might take for another program's. A test
# program runs its tests in its first child (tests/support/test_main.cpp), so the program itself is <pid> - 1.
# Exit 77 (skipped) where no pid namespace can be made.
want=$1
shift
unshare --pid --fork --mount-proc true 2>/dev/null || exit 77
exec unshare --pid --fork --mount-proc sh -c '
  want=$1
  shift
  echo $((want - 2)) > /proc/sys/kernel/ns_last_pid || exit 77
  "$@" &
  child=$!
  wait "$child"
  rc=$?
  if [ "$child" != $((want - 1)) ]; then
    echo "as_pid.sh: ran as process $((child + 1)), not $want"
    exit 1
  fi
  exit "$rc"' sh "$want" "$@"
