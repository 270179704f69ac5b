# shellcheck shell=bash
# The smoke of the Windows build under Wine, sourced by scripts/windows: bv_smoke <folder of the built programs>
# <installer>.
# Every step checks what it says and prints "ok: ..." (or "skipped: ..." with the reason, where Wine cannot show
# the behaviour); a failed step prints "FAILED: <step>: what it saw" and ends the run. Every Wine call and wait has a
# time limit. What runs is judged from this smoke's own prefix only, so smokes from two clones and any other Wine
# prefix can run side by side. Wine is a black box here: installed from Debian's packages and run, nothing more.
# The service is installed by the installer into C:\Program Files\Brimvault\bin, the stand-in core put beside it;
# the smoke's own tools run from C:\bvsmoke.

source "$(dirname "${BASH_SOURCE[0]}")/windows-smoke-installer.sh"
source "$(dirname "${BASH_SOURCE[0]}")/windows-smoke-rights.sh"

SMOKE_STEP=""
smoke_step() { SMOKE_STEP=$1; }
# Failures print on the run's own output (fd 3, opened by scripts/windows), also from a call whose output is
# redirected.
smoke_fail() {
  echo "FAILED: $SMOKE_STEP: $*" >&3
  echo "   (the smoke's files: $SMOKE)" >&3
  exit 1
}
smoke_ok() { echo "   ok: $*"; }

# Runs a command for at most $1 seconds; one that runs out fails the step, named by $2.
smoke_limit() { # seconds what command...
  local limit=$1 what=$2 rc=0
  shift 2
  timeout -k 10 "$limit" "$@" 3>&- || rc=$?
  [ "$rc" = 124 ] || [ "$rc" = 137 ] && smoke_fail "$what ran out of its $limit s"
  return "$rc"
}

# Waits until a command succeeds, at most $1 seconds.
smoke_until() { # seconds command...
  local limit=$1
  shift
  local end=$((SECONDS + limit))
  until "$@" 2>/dev/null; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.5
  done
}

# A Wine program of the prefix, for at most $1 seconds; its stderr goes to wine.err.
smoke_wine() { # seconds what program args...
  local limit=$1 what=$2
  shift 2
  smoke_limit "$limit" "$what" wine "$@" 2>>"$SMOKE/wine.err"
}

# The pids of this smoke's prefix: processes started with its WINEPREFIX, as every process of the prefix is (Wine's
# services and the programs they start inherit it).
smoke_our_pids() {
  grep -l -s -z -x -F "WINEPREFIX=$SMOKE_PREFIX" /proc/[0-9]*/environ | cut -d/ -f3
}

# "pid command line" of each Windows process of ours that runs one of the programs named by the pattern (a Wine
# loader's process, not the timeout or shell that started it).
smoke_ours() { # pattern
  local pid cmd
  for pid in $(smoke_our_pids); do
    case $(readlink "/proc/$pid/exe" 2>/dev/null) in
      */wineserver*) continue ;;
      */wine*) ;;
      *) continue ;;
    esac
    cmd=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null) || continue
    grep -q -i -E -- "$1" <<<"$cmd" && echo "$pid $cmd"
  done
  return 0
}
ours_running() { [ -n "$(smoke_ours 'BrimvaultServ(er|ice)\.exe|WindowShepherd\.exe')" ]; }

# The service's and the core's logs, as text.
svc_log() { cat "$DRIVE_C"/Brimvault/log/bvs/*.xlog 2>/dev/null | tr -d '\r'; }
core_log() { tr -d '\r' <"$SVC_BIN/BrimvaultServer.log" 2>/dev/null; }
svc_has() { svc_log | grep -q -F -- "$1"; }
core_has() { core_log | grep -q -E -- "$1"; }
# The service's state as sc shows it; a query that gets no answer in time says so in place of the state.
svc_state() {
  local out rc=0
  out=$(timeout -k 10 60 wine sc query BrimvaultService 2>>"$SMOKE/wine.err" 3>&-) || rc=$?
  if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then echo "(sc query ran out of its 60 s)"; return 0; fi
  tr -d '\r' <<<"$out" | awk '/STATE/ {print $4}'
}
svc_stopped() { [ "$(svc_state)" = STOPPED ]; }
client() { # seconds args...
  local limit=$1
  shift
  smoke_wine "$limit" "bvclient $*" "$TOOLS/bvclient.exe" "$@"
}

# A fresh prefix whose server stays up for the whole run: Wine ends its services about 2 s after start when no
# other Wine process is running, and a first service start right after wineboot may fail with 1077.
smoke_prefix() {
  smoke_step "Wine prefix"
  SMOKE_PREFIX=$SMOKE/prefix
  export WINEPREFIX=$SMOKE_PREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
  smoke_limit 300 "wineboot" wineboot -i >/dev/null 2>&1 || smoke_fail "wineboot ended with $?"
  smoke_limit 120 "wineserver -w" wineserver -w || smoke_fail "wineserver -w ended with $?"
  smoke_limit 30 "wineserver -p" wineserver -p || smoke_fail "wineserver -p ended with $?"
  DRIVE_C=$WINEPREFIX/drive_c
  SVC_BIN=$DRIVE_C/Program\ Files/Brimvault/bin
  TOOLS=$DRIVE_C/bvsmoke
  mkdir -p "$TOOLS"
  smoke_ok "a fresh Wine prefix ($(wine --version)) in $WINEPREFIX"
}

# Starts an X server with -displayfd; once it listens, its display number is in SMOKE_X and its pid in $1.pid.
smoke_x_server() { # name server args...
  local name=$1
  shift
  # The server writes its number when it is ready; it picks a free one itself, so two smokes never share one.
  "$@" -displayfd 5 5>"$SMOKE/$name.display" >"$SMOKE/$name.log" 2>&1 3>&- &
  echo $! >"$SMOKE/$name.pid"
  smoke_until 20 grep -q '^[0-9]' "$SMOKE/$name.display" ||
    smoke_fail "$name did not start within 20 s: $(tail -3 "$SMOKE/$name.log")"
  SMOKE_X=$(head -1 "$SMOKE/$name.display")
}

# Two monitors side by side, (0,0)-(800,600) and (800,0)-(1600,600): Xephyr on an Xvfb, its two screens as one
# desktop through Xinerama and without RandR, so Wine reads the two heads.
smoke_display() {
  smoke_step "virtual display"
  local xvfb
  smoke_x_server xvfb Xvfb -screen 0 1600x600x24 -nolisten tcp
  xvfb=$SMOKE_X
  smoke_x_server xephyr env DISPLAY=":$xvfb" Xephyr +xinerama -screen 800x600+0+0 -screen 800x600+800+0 \
    -extension RANDR -nolisten tcp
  export DISPLAY=":$SMOKE_X"
  smoke_limit 20 "xdpyinfo" xdpyinfo >/dev/null || smoke_fail "no answer from display $DISPLAY (see $SMOKE/xephyr.log)"
  smoke_ok "a virtual display $DISPLAY of two screens (Xephyr with Xinerama on Xvfb :$xvfb)"
}

# Never fails: it runs on every way out, and a run that passed stays passed.
smoke_cleanup() {
  [ -n "${SMOKE:-}" ] || return 0
  if [ -n "${SMOKE_PREFIX:-}" ]; then
    WINEPREFIX=$SMOKE_PREFIX timeout -k 5 30 wineserver -k >/dev/null 2>&1 3>&- || true
  fi
  local x pid
  for x in xephyr xvfb; do
    pid=$(cat "$SMOKE/$x.pid" 2>/dev/null) || continue
    kill "$pid" 2>/dev/null || true
    rm -f "$SMOKE/$x.pid"
  done
  return 0
}

# Installs BrimvaultService with the installer and reads its configuration back; stopped, the stand-in core is put
# beside it with what its first launch does, and the service started again.
smoke_install_service() {
  inst_install "$SMOKE_SETUP"
  inst_check_config "$TOOLS/bvsvcconfig.exe"
  smoke_wine 60 "sc stop" sc stop BrimvaultService >/dev/null || smoke_fail "sc stop after the install"
  smoke_until 30 svc_stopped || smoke_fail "service still $(svc_state) 30 s after sc stop"
  inst_place_core "$SMOKE_FROM"
  # Launch 1 ends by itself with 1115; the later ones run until they are ended.
  printf '1.exitAfterMs=6000\r\n1.exitCode=1115\r\n' >"$SVC_BIN/BrimvaultServer.control"
  # shellcheck disable=SC2034 # read by the condition that smoke_until evaluates in the next step
  SVC_STARTS=$(inst_starts)
  smoke_wine 60 "sc start" sc start BrimvaultService >/dev/null || smoke_fail "sc start: $(svc_state)"
  smoke_ok "stopped, the stand-in core put beside the installed service, sc start: $(svc_state)"
}

# The service manager no longer knows BrimvaultService.
smoke_service_gone() {
  local out rc=0
  out=$(smoke_wine 60 "sc query" sc query BrimvaultService | tr -d '\r') || rc=$?
  # Windows answers 1060; Wine's sc prints nothing and ends with 1.
  if grep -q 'SERVICE_NAME' <<<"$out" || { [ "$rc" = 0 ] && ! grep -q '1060' <<<"$out"; }; then
    smoke_fail "the service is still registered: sc query ended with $rc: $out"
  fi
}

smoke_service() {
  smoke_step "install"
  smoke_install_service

  # A UI client declares itself at once: the core's 1115 reaches it as a notification.
  client 90 Brimvault-Service-Socket --retry-ms 15000 send ui --expect ServerExitCodeRequest --timeout-ms 40000 \
    >"$SMOKE/ui-client.out" 2>&1 &
  local ui=$!
  smoke_step "service log"
  smoke_until 20 eval '[ "$(inst_starts)" -gt "$SVC_STARTS" ]' ||
    smoke_fail "no version line of this start in the service's log"
  smoke_until 20 core_has ' start launch=1 ' || smoke_fail "no core launched; service log: $(svc_log | tail -5)"
  local session
  session=$(svc_log | sed -n 's/.*console_session_id: \([0-9]*\).*/\1/p' | tail -1)
  core_has " start launch=1 session=$session " || smoke_fail "core not in console session $session: $(core_log)"
  core_has ' start launch=1 .*job=1' || smoke_fail "core not in a job: $(core_log)"
  local waited
  # From the last start-up: the service ran before, without its core.
  waited=$(svc_log | awk '/Version: / {v = ms($3); c = ""} /console_session_id: / && c == "" {c = ms($3)}
                          END {print c - v}
                          function ms(t, p) {split(t, p, ":"); return (p[1] * 3600 + p[2] * 60 + p[3]) * 1000}')
  [ "${waited%.*}" -ge 3000 ] || smoke_fail "the launch came ${waited} ms after start-up, not after the 3 s wait"
  smoke_ok "log: start-up, the wait (${waited%.*} ms), core launched from the service's folder into console" \
    "session $session inside its job"

  smoke_step "core exit 1115"
  wait "$ui" || smoke_fail "UI client: $(cat "$SMOKE/ui-client.out")"
  grep -q 'received ServerExitCodeRequest.*1115' "$SMOKE/ui-client.out" ||
    smoke_fail "UI client: $(cat "$SMOKE/ui-client.out")"
  smoke_until 30 svc_stopped || smoke_fail "service still $(svc_state) after the core's 1115"
  smoke_ok "the UI client got ServerExitCodeRequest 1115 and the service stopped"

  smoke_step "SHUT_DOWN of the service"
  smoke_wine 60 "second sc start" sc start BrimvaultService >/dev/null || smoke_fail "second sc start"
  smoke_until 20 core_has ' start launch=2 ' || smoke_fail "no second launch: $(core_log | tail -3)"
  client 60 Brimvault-Service-Socket --retry-ms 5000 send shutdown >"$SMOKE/shutdown.out" 2>&1 ||
    smoke_fail "SHUT_DOWN: $(cat "$SMOKE/shutdown.out")"
  smoke_until 40 svc_stopped || smoke_fail "service still $(svc_state) 40 s after SHUT_DOWN"
  svc_has "we need force stop Brimvault Core" || smoke_fail "the core was not killed after its 20 s"
  local last
  last=$(svc_log | tail -1)
  grep -q 'logger end' <<<"$last" || smoke_fail "the service's log ends with: $last"
  smoke_ok "SHUT_DOWN: the core got its 20 s, was killed, the service stopped with \"logger end\" last"

  smoke_step "sc stop"
  smoke_wine 60 "third sc start" sc start BrimvaultService >/dev/null || smoke_fail "third sc start"
  smoke_until 20 core_has ' start launch=3 ' || smoke_fail "no third launch: $(core_log | tail -3)"
  # What "nothing left running" later looks for is seen while it runs.
  local running
  running=$(smoke_ours 'BrimvaultServ(er|ice)\.exe')
  if ! grep -q -i 'BrimvaultServer\.exe' <<<"$running" || ! grep -q -i 'BrimvaultService\.exe' <<<"$running"; then
    smoke_fail "the running service and core are not both among this prefix's processes: ${running:-none}"
  fi
  local kills
  kills=$(svc_log | grep -c 'we need force stop')
  smoke_wine 60 "sc stop" sc stop BrimvaultService >/dev/null || smoke_fail "sc stop"
  smoke_until 30 svc_stopped || smoke_fail "service still $(svc_state) 30 s after sc stop"
  core_has ' ctrl-c$' || smoke_fail "the core's log shows no Ctrl+C: $(core_log | tail -3)"
  [ "$(svc_log | grep -c 'we need force stop')" = "$kills" ] || smoke_fail "the core was killed on sc stop"
  smoke_ok "sc stop: the second copy's Ctrl+C ended the core (pid $(grep -i 'BrimvaultServer\.exe' <<<"$running" |
    cut -d' ' -f1) in this prefix), the service stopped"

  smoke_step "nothing left running"
  smoke_until 10 eval '! ours_running' ||
    smoke_fail "still running in $SMOKE_PREFIX: $(smoke_ours 'BrimvaultServ(er|ice)\.exe|WindowShepherd\.exe')"
  smoke_ok "nothing of ours is left running in this prefix ($(smoke_our_pids | wc -l) processes of it checked)"

  smoke_step "log folders"
  smoke_log_folders

  smoke_step "second install"
  smoke_wine 60 "fourth sc start" sc start BrimvaultService >/dev/null || smoke_fail "fourth sc start"
  smoke_until 20 core_has ' start launch=4 ' || smoke_fail "no fourth launch: $(core_log | tail -3)"
  inst_reinstall "$SMOKE_SETUP"
}

# WindowShepherd's calls of one user32 function that succeeded, as Wine's relay trace of its process shows them.
shepherd_calls() { # function
  grep -c "^[0-9a-f]*:Ret  user32\.$1() retval=0*[1-9a-f]" "$SMOKE/shepherd.trace" || true
}
# Whether WindowShepherd still runs: its process in this prefix, the one found at its start.
shepherd_runs() { [ -n "$(smoke_ours 'WindowShepherd\.exe' | awk -v p="$SHEPHERD_PID" '$1 == p')" ]; }

shepherd_called() { [ "$(shepherd_calls "$1")" -ge "$2" ]; } # function n
# Waits until WindowShepherd has made n successful calls of a function in all; says how many it made.
shepherd_await_calls() { # function n seconds
  smoke_until "$3" shepherd_called "$1" "$2" || true
  shepherd_calls "$1"
}

# The monitors of a bvwindow output, as "(L,T)-(R,B) and ...".
smoke_monitors() { # file
  tr -d '\r' <"$1" | sed -n 's/^monitor-[0-9]*: \(.*\) \(.*\) \(.*\) \(.*\)/(\1,\2)-(\3,\4)/p' | paste -s -d ' ' |
    sed 's/) (/) and (/g'
}

# What WindowShepherd's calls of a user32 function on a window returned, one hex value a line, from Wine's relay
# trace; the call's arguments start with the window, then the text given.
shepherd_returns() { # function window-as-0x... [more arguments]
  awk -v call="Call user32.$1($(printf '%08x' "$2")${3:-}" -v ret="Ret  user32.$1() retval=" '
    index($0, call) {split($0, f, ":"); want[f[1]] = 1; next}
    index($0, ret) {
      split($0, f, ":"); if (!want[f[1]]) next; want[f[1]] = 0
      sub(/.*retval=/, ""); sub(/ .*/, ""); print $0 }' "$SMOKE/shepherd.trace"
}

# A window of a second program opened on the left monitor while the cursor is on the right one. bvhook, our own
# out-of-context hook, records what Wine delivers for that window, and the relay trace the window's styles that
# WindowShepherd read when an event reached it: moved, the step passes; not moved although Wine sent
# EVENT_OBJECT_SHOW or UNCLOAKED, or although WindowShepherd found the window visible, it fails; otherwise Wine
# delivered no event that WindowShepherd acts on for a visible window, and the step is skipped saying so.
smoke_placement() {
  smoke_step "placement"
  local bin=$TOOLS
  timeout -k 10 60 wine "$bin/bvhook.exe" --wait-ms 10000 >"$SMOKE/hook.out" 2>>"$SMOKE/wine.err" 3>&- &
  local hook=$!
  smoke_until 30 grep -q '^ready' "$SMOKE/hook.out" || smoke_fail "bvhook did not set its hooks within 30 s"
  smoke_wine 60 "bvwindow" "$bin/bvwindow.exe" --cursor 1200 300 --rect 100 100 400 300 --wait-ms 3000 \
    >"$SMOKE/window.out" || smoke_fail "bvwindow: $(cat "$SMOKE/window.out")"
  local rc=0
  wait "$hook" || rc=$?
  [ "$rc" = 0 ] || smoke_fail "bvhook ended with $rc$([ "$rc" = 124 ] && echo ': it ran out of its 60 s')"
  tr -d '\r' <"$SMOKE/window.out" >"$SMOKE/window.txt"
  tr -d '\r' <"$SMOKE/hook.out" >"$SMOKE/hook.txt"

  local count monitors window start final events
  count=$(sed -n 's/^monitor-count: //p' "$SMOKE/window.txt")
  monitors=$(smoke_monitors "$SMOKE/window.txt")
  [ "$count" = 2 ] || smoke_fail "Wine shows ${count:-no} monitors on the display of two screens: $monitors"
  window=$(sed -n 's/^window: //p' "$SMOKE/window.txt")
  start=$(sed -n 's/^start-rect: //p' "$SMOKE/window.txt")
  final=$(sed -n 's/^final-rect: //p' "$SMOKE/window.txt")
  events=$(grep "^event: .* window: $window " "$SMOKE/hook.txt" | sed 's/ window: [^ ]*//; s/ pid: .*//;
    s/^event: //' | paste -s -d ';' | sed 's/;/; /g')
  local where="on 2 monitors, $monitors, cursor at 1200 300"
  local styles style visible=0
  styles=$(shepherd_returns GetWindowLongW "$window" ,fffffff0 | sed 's/^/0x/' | paste -s -d ' ')
  for style in $styles; do ((style & 0x10000000)) && visible=1; done
  local seen="bvhook saw: ${events:-no event}; WindowShepherd read its style ${styles:-never}"
  if [ "$(sed -n 's/^final-monitor: //p' "$SMOKE/window.txt")" = "800 0 1600 600" ]; then
    smoke_ok "placement $where: the window opened at $start moved to the cursor's monitor, at $final ($seen)"
  elif grep -q -E "^event: (SHOW|UNCLOAKED) window: $window " "$SMOKE/hook.txt"; then
    smoke_fail "placement $where: Wine sent EVENT_OBJECT_SHOW or UNCLOAKED for the window, but it stayed at" \
      "$final ($seen)"
  elif [ "$visible" = 1 ] && ! shepherd_returns SetWindowPlacement "$window" | grep -q -v '^00000000$' &&
    shepherd_returns SetWindowPlacement "$window" | grep -q '^00000000$'; then
    # WindowShepherd chose to move it and every placement it set was refused: Wine's limit, not its choice.
    echo "   skipped: placement $where: WindowShepherd found the window visible and set its placement on the" \
      "cursor's monitor, but Wine refused every SetWindowPlacement on the other program's window" \
      "($(shepherd_returns SetWindowPlacement "$window" | wc -l) calls returned FALSE; $seen), so it stayed at $final"
  elif [ "$visible" = 1 ]; then
    smoke_fail "placement $where: WindowShepherd found the window visible, but it stayed at $final ($seen)"
  else
    echo "   skipped: placement $where: Wine delivered no event that WindowShepherd acts on for a visible window" \
      "($seen, without WS_VISIBLE; no EVENT_OBJECT_SHOW or UNCLOAKED came), so the window stayed at $final"
  fi
}

smoke_shepherd() {
  smoke_step "WindowShepherd start"
  local bin=$SVC_BIN
  # Wine's relay trace of WindowShepherd's calls shows that it acted on START and PAUSE (it logs nothing of the
  # commands it reads) and the window styles it read when an event reached it.
  local calls='user32.SetWinEventHook;user32.UnhookWinEvent;user32.GetWindowLongW;user32.GetCursorPos;user32.MonitorFromPoint;user32.MonitorFromWindow;user32.SetWindowPlacement;user32.GetWindowPlacement'
  smoke_wine 60 "reg add" reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d "$calls" /f >/dev/null ||
    smoke_fail "reg add RelayInclude"
  WINEDEBUG=-all,+relay timeout -k 10 600 wine "$bin/WindowShepherd.exe" -i 0 >"$SMOKE/shepherd.out" \
    2>"$SMOKE/shepherd.trace" 3>&- &
  client 60 Brimvault-WindowShepherd-Socket --retry-ms 20000 >/dev/null 2>&1 ||
    smoke_fail "WindowShepherd does not listen on Brimvault-WindowShepherd-Socket"
  SHEPHERD_PID=$(smoke_ours 'WindowShepherd\.exe' | awk 'NR == 1 {print $1}')
  [ -n "$SHEPHERD_PID" ] || smoke_fail "no WindowShepherd process in this prefix"
  [ "$(shepherd_calls SetWinEventHook)" = 0 ] || smoke_fail "WindowShepherd -i 0 set hooks before START"
  smoke_ok "WindowShepherd (pid $SHEPHERD_PID) started and listens on Brimvault-WindowShepherd-Socket"

  smoke_step "second instance"
  local rc=0
  smoke_wine 60 "the second WindowShepherd" "$bin/WindowShepherd.exe" -i 0 >/dev/null 2>&1 || rc=$?
  [ "$rc" = 1 ] || smoke_fail "a second instance ended with $rc, not 1"
  shepherd_runs || smoke_fail "the first instance ended"
  smoke_ok "a second instance asked the first to show itself and ended with 1; the first runs on"

  smoke_step "START"
  client 60 Brimvault-WindowShepherd-Socket send start >/dev/null || smoke_fail "bvclient could not send START"
  local hooks
  hooks=$(shepherd_await_calls SetWinEventHook 3 20)
  [ "$hooks" = 3 ] || smoke_fail "WindowShepherd set $hooks of its 3 window event hooks within 20 s of START"
  shepherd_runs || smoke_fail "WindowShepherd ended on START"
  smoke_ok "START read: WindowShepherd set its 3 window event hooks (Wine's relay trace) and runs on"

  smoke_placement

  smoke_step "PAUSE"
  client 60 Brimvault-WindowShepherd-Socket send pause >/dev/null || smoke_fail "bvclient could not send PAUSE"
  hooks=$(shepherd_await_calls UnhookWinEvent 3 20)
  [ "$hooks" = 3 ] || smoke_fail "WindowShepherd removed $hooks of its 3 window event hooks within 20 s of PAUSE"
  shepherd_runs || smoke_fail "WindowShepherd ended on PAUSE"
  smoke_ok "PAUSE read: WindowShepherd removed its 3 window event hooks (Wine's relay trace) and runs on"

  smoke_step "SHUT_DOWN of WindowShepherd"
  client 60 Brimvault-WindowShepherd-Socket send shutdown >/dev/null || smoke_fail "bvclient could not send SHUT_DOWN"
  smoke_until 10 eval '! shepherd_runs' || smoke_fail "WindowShepherd still runs 10 s after SHUT_DOWN"
  local last
  last=$(cat "$DRIVE_C"/Brimvault/log/bvu/wshp/*.xlog 2>/dev/null | tr -d '\r' | tail -1)
  grep -q 'logger end' <<<"$last" || smoke_fail "WindowShepherd's log ends with: ${last:-(no log)}"
  smoke_ok "SHUT_DOWN ended WindowShepherd, its log's last line is \"logger end\""
}

smoke_tests() {
  local t name out rc
  for t in "$@"; do
    name=$(basename "$t" .exe)
    smoke_step "$name"
    out=$SMOKE/$name.out
    rc=0
    smoke_wine 600 "$name" "$t" --gtest_brief=1 >"$out" 2>&1 || rc=$?
    [ "$rc" = 0 ] || { cat "$out"; smoke_fail "$name under Wine ended with $rc"; }
    smoke_ok "$name: $(grep -o '[0-9]* tests\? from [0-9]* test suites\? ran' "$out" | head -1), all passed"
  done
}

bv_smoke() { # folder of the built programs, installer
  SMOKE_FROM=$1
  SMOKE_SETUP=$2
  SMOKE=$(mktemp -d "${TMPDIR:-/tmp}/bv-windows-smoke.XXXXXX")
  smoke_display
  smoke_prefix
  local exe
  for exe in "$SMOKE_FROM"/*.exe; do
    case ${exe##*/} in
      BrimvaultService.exe | WindowShepherd.exe | BrimvaultServer.exe) ;;
      *) cp "$exe" "$TOOLS/" ;;
    esac
  done
  echo "-- BrimvaultService installed, under the service manager"
  smoke_service
  echo "-- WindowShepherd"
  smoke_shepherd
  echo "-- the product's tests that need no emulated machine"
  smoke_tests "$SMOKE_FROM"/*_test*.exe
  echo "-- uninstall"
  smoke_step "uninstall"
  inst_uninstall
  smoke_cleanup
  rm -rf "$SMOKE"
}
