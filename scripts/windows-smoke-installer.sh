# shellcheck shell=bash
# The installer's steps of the Windows smoke under Wine, sourced by scripts/windows-smoke.sh, whose helpers they use
# (smoke_wine, smoke_limit, smoke_until, smoke_ok, smoke_fail, svc_state, svc_log, core_log, ours_running):
#   inst_install <setup.exe>            silent install, its exit code checked, the service RUNNING
#   inst_check_config <bvsvcconfig.exe> the service's configuration read back from the service control manager
#   inst_place_core <folder>            the stand-in core BrimvaultServer.exe copied beside the installed service
#   inst_reinstall <setup.exe>          installed again while running: RUNNING again on the new files
#   inst_uninstall                      silent uninstall: service gone, programs gone, logs left, nothing running
# Wine is a black box here: only run.

INST_SERVICE=BrimvaultService
INST_DIR_WIN='C:\Program Files\Brimvault'
inst_dir() { echo "$DRIVE_C/Program Files/Brimvault"; }
inst_running() { [ "$(svc_state)" = RUNNING ]; }
inst_starts() { svc_log | grep -c 'Version: ' || true; }
# The stand-in core's own log, beside it: one "start launch=N" line per launch, "ctrl-c" when Ctrl+C ended it.
inst_core_count() { core_log | grep -c -- "$1" || true; }

# The installer, silent, at most 3 minutes; its exit code must be 0.
inst_run_setup() { # setup.exe label
  local rc=0
  smoke_limit 180 "the installer ($2)" wine "$1" /S </dev/null >"$SMOKE/setup-$2.out" 2>&1 || rc=$?
  [ "$rc" = 0 ] || smoke_fail "$2: the installer ended with $rc; service $(svc_state)"
}

inst_install() { # setup.exe
  local bin
  bin=$(inst_dir)/bin
  inst_run_setup "$1" install
  [ -f "$bin/BrimvaultService.exe" ] && [ -f "$bin/WindowShepherd.exe" ] ||
    smoke_fail "the programs are not in $INST_DIR_WIN\\bin: $(ls "$bin" 2>&1)"
  [ ! -e "$bin/BrimvaultServer.exe" ] || smoke_fail "the installer installed the stand-in core"
  smoke_until 20 inst_running || smoke_fail "the service is $(svc_state) after the install"
  smoke_ok "$(basename "$1") /S: exit code 0, both programs in $INST_DIR_WIN\\bin, the service RUNNING"
}

inst_check_config() { # bvsvcconfig.exe
  local out=$SMOKE/svcconfig.out want
  smoke_wine 60 "bvsvcconfig" "$1" "$INST_SERVICE" </dev/null | tr -d '\r' >"$out" ||
    smoke_fail "bvsvcconfig: $(cat "$out")"
  for want in 'service-type: 0x10' 'start-type: 2' 'account: LocalSystem' 'display-name: Brimvault Service' \
    "binary-path: \"$INST_DIR_WIN\\bin\\BrimvaultService.exe\"" 'binary-path-quoted: yes'; do
    grep -qxF -- "$want" "$out" || smoke_fail "service configuration: no \"$want\" in: $(cat "$out")"
  done
  grep -q '^description: Keeps the Brimvault core' "$out" || smoke_fail "no description: $(cat "$out")"
  smoke_ok "configuration read back: own process, auto start, LocalSystem, display name, description, quoted path"
  if grep -qxF 'failure-actions: none' "$out"; then
    echo "   seen: Wine reports no recovery actions (its sc failure answers 0 and keeps none)"
  else
    grep -q '^failure-action-0: restart ' "$out" || smoke_fail "recovery actions: $(grep failure "$out")"
    smoke_ok "recovery actions: $(grep '^failure-' "$out" | tr '\n' ' ')"
  fi
}

# The core belongs to the product's own package: the smoke puts our stand-in where that package would.
inst_place_core() { # folder holding BrimvaultServer.exe
  cp "$1/BrimvaultServer.exe" "$(inst_dir)/bin/" || smoke_fail "could not copy the stand-in core"
}

# Installed again while the service runs its core: the installer stops the service, which ends the core by Ctrl+C,
# replaces the files and starts it again, and the new service launches the core again. The old program file is dated
# 2000 first, so a replaced one shows; the service's log shows one start-up more, the core's one Ctrl+C more.
# shellcheck disable=SC2034 # starts and launches are read by the conditions that smoke_until evaluates
inst_reinstall() { # setup.exe
  local exe starts launches ctrlc
  exe="$(inst_dir)/bin/BrimvaultService.exe"
  inst_running || smoke_fail "the service is $(svc_state) before the second install"
  smoke_until 30 eval '[ "$(inst_core_count " start launch=")" -ge 1 ]' ||
    smoke_fail "the service launched no core: $(svc_log | tail -3)"
  starts=$(inst_starts)
  launches=$(inst_core_count " start launch=")
  ctrlc=$(inst_core_count " ctrl-c$")
  touch -d 2000-01-01 "$exe"
  inst_run_setup "$1" reinstall
  [ "$(stat -c %Y "$exe")" -gt "$(date -d 2000-01-02 +%s)" ] || smoke_fail "the service's program was not replaced"
  [ "$(inst_core_count " ctrl-c$")" -gt "$ctrlc" ] || smoke_fail "the core was not ended by Ctrl+C on the stop"
  smoke_until 20 inst_running || smoke_fail "the service is $(svc_state) after the second install"
  smoke_until 20 eval '[ "$(inst_starts)" -gt "$starts" ]' ||
    smoke_fail "the service did not start again: $(svc_log | tail -3)"
  smoke_until 30 eval '[ "$(inst_core_count " start launch=")" -gt "$launches" ]' ||
    smoke_fail "the new service launched no core: $(svc_log | tail -3)"
  smoke_ok "installed again while running: stopped (its core by Ctrl+C), replaced, RUNNING again on the new files" \
    "with its core"
}

# The uninstaller copies itself away and returns at once unless told its folder with _?= (last, unquoted): then it
# runs in place, its exit code is the result, and it leaves only itself. Wine quotes an argument with a space, so the
# folder goes in two pieces that it joins with one space.
inst_uninstall() {
  local dir rc=0
  dir=$(inst_dir)
  smoke_limit 180 "the uninstaller" wine "$INST_DIR_WIN\\Uninstall.exe" /S '_?=C:\Program' 'Files\Brimvault' \
    </dev/null >"$SMOKE/uninstall.out" 2>&1 || rc=$?
  [ "$rc" = 0 ] || smoke_fail "the uninstaller ended with $rc; service $(svc_state)"
  smoke_service_gone
  [ ! -e "$dir/bin/BrimvaultService.exe" ] && [ ! -e "$dir/bin/WindowShepherd.exe" ] ||
    smoke_fail "programs left: $(ls "$dir/bin")"
  [ -n "$(ls "$DRIVE_C"/Brimvault/log/bvs/*.xlog 2>/dev/null)" ] || smoke_fail "the logs were removed"
  # What stays is not ours: the product's core and the uninstaller run in place.
  rm -f "$dir/bin"/BrimvaultServer.* "$dir/Uninstall.exe"
  rmdir "$dir/bin" 2>/dev/null || true
  rmdir "$dir" 2>/dev/null || true
  [ ! -e "$dir" ] || smoke_fail "left in $INST_DIR_WIN: $(find "$dir")"
  smoke_until 10 eval '! ours_running' ||
    smoke_fail "still running after the uninstall: $(smoke_ours 'BrimvaultServ(er|ice)\.exe|WindowShepherd\.exe')"
  smoke_ok "uninstalled: service gone, programs gone, logs left, nothing of ours running in this prefix"
}
