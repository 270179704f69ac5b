# The smoke of the Windows build under Wine, sourced by scripts/windows: bv_smoke <folder of the built programs>.
# Every step checks what it says and prints "ok: ..."; a failed step prints what it saw and ends the run. Wine is a
# black box here: installed from Debian's packages and run, nothing more.

smoke_fail() {
  echo "FAILED: $*"
  exit 1
}
smoke_ok() { echo "   ok: $*"; }

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

smoke_wine() { wine "$@" 2>>"$SMOKE/wine.err"; }

# The service's and the core's logs, as text.
svc_log() { cat "$DRIVE_C"/Brimvault/log/bvs/*.xlog 2>/dev/null | tr -d '\r'; }
core_log() { tr -d '\r' <"$DRIVE_C/Brimvault/bin/BrimvaultServer.log" 2>/dev/null; }
svc_has() { svc_log | grep -q -F -- "$1"; }
core_has() { core_log | grep -q -E -- "$1"; }
svc_state() { smoke_wine sc query BrimvaultService | tr -d '\r' | awk '/STATE/ {print $4}'; }
svc_stopped() { [ "$(svc_state)" = STOPPED ]; }
ours_running() { pgrep -f -i 'BrimvaultServ(er|ice)\.exe|WindowShepherd\.exe' >/dev/null; }
client() { smoke_wine "$DRIVE_C/Brimvault/bin/bvclient.exe" "$@"; }

# A fresh prefix whose server stays up for the whole run: Wine ends its services about 2 s after start when no
# other Wine process is running, and a first service start right after wineboot may fail with 1077.
smoke_prefix() {
  export WINEPREFIX=$SMOKE/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
  wineboot -i >/dev/null 2>&1
  wineserver -w
  wineserver -p
  DRIVE_C=$WINEPREFIX/drive_c
  mkdir -p "$DRIVE_C/Brimvault/bin"
  smoke_ok "a fresh Wine prefix ($(wine --version)) in $WINEPREFIX"
}

# A virtual X display of two screens side by side for WindowShepherd. Wine 8.0 shows one monitor on it (as on an
# Xorg display of two Xinerama heads): the placement step reports what it saw rather than fail on Wine's desktop.
smoke_display() {
  local n
  for n in $(seq 90 120); do [ -e /tmp/.X11-unix/X$n ] || break; done
  Xvfb ":$n" -screen 0 3840x1080x24 -nolisten tcp >"$SMOKE/xvfb.log" 2>&1 &
  SMOKE_XVFB=$!
  export DISPLAY=":$n"
  smoke_until 10 xdpyinfo >/dev/null || smoke_fail "Xvfb did not start (see $SMOKE/xvfb.log)"
  smoke_ok "a virtual X display $DISPLAY"
}

smoke_cleanup() {
  [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null
  [ -n "${SMOKE_XVFB:-}" ] && kill "$SMOKE_XVFB" 2>/dev/null
  return 0
}

smoke_service() {
  local exe='C:\Brimvault\bin\BrimvaultService.exe'
  # Launch 1 ends by itself with 1115; launch 2 and 3 run until they are ended.
  printf '1.exitAfterMs=6000\r\n1.exitCode=1115\r\n' >"$DRIVE_C/Brimvault/bin/BrimvaultServer.control"
  smoke_wine sc create BrimvaultService binpath= "$exe" >/dev/null || smoke_fail "sc create"
  smoke_wine sc start BrimvaultService >/dev/null || smoke_fail "sc start: $(svc_state)"
  smoke_ok "sc create and sc start: $(svc_state)"

  # A UI client declares itself at once: the core's 1115 reaches it as a notification.
  client Brimvault-Service-Socket --retry-ms 15000 send ui --expect ServerExitCodeRequest --timeout-ms 40000 \
    >"$SMOKE/ui-client.out" 2>&1 &
  local ui=$!
  smoke_until 20 svc_has "Version: " || smoke_fail "no version line in the service's log"
  smoke_until 20 core_has ' start launch=1 ' || smoke_fail "no core launched; service log: $(svc_log | tail -5)"
  local session
  session=$(svc_log | sed -n 's/.*console_session_id: \([0-9]*\).*/\1/p' | head -1)
  core_has " start launch=1 session=$session " || smoke_fail "core not in console session $session: $(core_log)"
  core_has ' start launch=1 .*job=1' || smoke_fail "core not in a job: $(core_log)"
  local waited
  waited=$(svc_log | awk '/Version: / && !v {v = ms($3)} /console_session_id: / && !c {c = ms($3)} END {print c - v}
                          function ms(t, p) {split(t, p, ":"); return (p[1] * 3600 + p[2] * 60 + p[3]) * 1000}')
  [ "${waited%.*}" -ge 3000 ] || smoke_fail "the launch came ${waited} ms after start-up, not after the 3 s wait"
  smoke_ok "log: start-up, the wait (${waited%.*} ms), core launched from the service's folder into console" \
    "session $session inside its job"

  wait "$ui" || smoke_fail "UI client: $(cat "$SMOKE/ui-client.out")"
  grep -q 'received ServerExitCodeRequest.*1115' "$SMOKE/ui-client.out" ||
    smoke_fail "UI client: $(cat "$SMOKE/ui-client.out")"
  smoke_until 30 svc_stopped || smoke_fail "service still $(svc_state) after the core's 1115"
  smoke_ok "the UI client got ServerExitCodeRequest 1115 and the service stopped"

  smoke_wine sc start BrimvaultService >/dev/null || smoke_fail "second sc start"
  smoke_until 20 core_has ' start launch=2 ' || smoke_fail "no second launch: $(core_log | tail -3)"
  client Brimvault-Service-Socket --retry-ms 5000 send shutdown >"$SMOKE/shutdown.out" 2>&1 ||
    smoke_fail "SHUT_DOWN: $(cat "$SMOKE/shutdown.out")"
  smoke_until 40 svc_stopped || smoke_fail "service still $(svc_state) 40 s after SHUT_DOWN"
  svc_has "we need force stop Brimvault Core" || smoke_fail "the core was not killed after its 20 s"
  [ "$(svc_log | tail -1 | grep -c 'logger end')" = 1 ] || smoke_fail "last log line: $(svc_log | tail -1)"
  smoke_ok "SHUT_DOWN: the core got its 20 s, was killed, the service stopped with \"logger end\" last"

  smoke_wine sc start BrimvaultService >/dev/null || smoke_fail "third sc start"
  smoke_until 20 core_has ' start launch=3 ' || smoke_fail "no third launch: $(core_log | tail -3)"
  local kills
  kills=$(svc_log | grep -c 'we need force stop')
  smoke_wine sc stop BrimvaultService >/dev/null || smoke_fail "sc stop"
  smoke_until 30 svc_stopped || smoke_fail "service still $(svc_state) 30 s after sc stop"
  core_has ' ctrl-c$' || smoke_fail "the core's log shows no Ctrl+C: $(core_log | tail -3)"
  [ "$(svc_log | grep -c 'we need force stop')" = "$kills" ] || smoke_fail "the core was killed on sc stop"
  smoke_ok "sc stop: the second copy's Ctrl+C ended the core, the service stopped"

  smoke_until 10 eval '! ours_running' || smoke_fail "still running: $(pgrep -a -f -i 'Brimvault|WindowShepherd')"
  smoke_wine sc delete BrimvaultService >/dev/null
  smoke_ok "nothing of ours is left running"
}

smoke_shepherd() {
  local bin=$DRIVE_C/Brimvault/bin
  smoke_wine "$bin/WindowShepherd.exe" -i 0 >"$SMOKE/shepherd.out" 2>&1 &
  local shepherd=$!
  client Brimvault-WindowShepherd-Socket --retry-ms 20000 >/dev/null 2>&1 ||
    smoke_fail "WindowShepherd does not listen on Brimvault-WindowShepherd-Socket"
  smoke_ok "WindowShepherd started and listens on Brimvault-WindowShepherd-Socket"

  local rc=0
  timeout 60 wine "$bin/WindowShepherd.exe" -i 0 >/dev/null 2>&1 || rc=$?
  [ "$rc" = 1 ] || smoke_fail "a second instance ended with $rc, not 1"
  kill -0 "$shepherd" 2>/dev/null || smoke_fail "the first instance ended"
  smoke_ok "a second instance asked the first to show itself and ended with 1; the first runs on"

  client Brimvault-WindowShepherd-Socket send start >/dev/null || smoke_fail "START"
  kill -0 "$shepherd" 2>/dev/null || smoke_fail "WindowShepherd ended on START"
  smoke_ok "START read, WindowShepherd runs on"
  # A window of a second program opened away from the cursor's monitor.
  smoke_wine "$bin/bvwindow.exe" --cursor 2500 500 --rect 100 100 800 600 --wait-ms 3000 >"$SMOKE/window.out" ||
    smoke_fail "bvwindow: $(cat "$SMOKE/window.out")"
  local monitors
  monitors=$(tr -d '\r' <"$SMOKE/window.out" | sed -n 's/^monitor-count: //p')
  if [ "${monitors:-0}" -ge 2 ]; then
    grep -q '^final-rect: 20[0-9][0-9] ' "$SMOKE/window.out" ||
      smoke_fail "the window was not moved to the cursor's monitor: $(cat "$SMOKE/window.out")"
    smoke_ok "a new window moved to the cursor's monitor: $(grep final-rect "$SMOKE/window.out")"
  else
    echo "   seen: Wine shows $monitors monitor(s), so a window is already on the cursor's monitor and stays:" \
      "$(grep '^monitor-0:\|^final-rect' "$SMOKE/window.out" | tr '\n' ' ')"
  fi
  client Brimvault-WindowShepherd-Socket send pause >/dev/null || smoke_fail "PAUSE"
  sleep 1
  kill -0 "$shepherd" 2>/dev/null || smoke_fail "WindowShepherd ended on PAUSE"
  smoke_ok "PAUSE read, WindowShepherd runs on"
  client Brimvault-WindowShepherd-Socket send shutdown >/dev/null || smoke_fail "SHUT_DOWN"
  local i
  for i in $(seq 100); do kill -0 "$shepherd" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$shepherd" 2>/dev/null && smoke_fail "WindowShepherd still runs after SHUT_DOWN"
  grep -q 'logger end' <<<"$(cat "$DRIVE_C"/Brimvault/log/bvu/wshp/*.xlog | tr -d '\r')" ||
    smoke_fail "WindowShepherd's log did not end with \"logger end\""
  smoke_ok "SHUT_DOWN ended WindowShepherd, its log closed"
}

smoke_tests() {
  local t out
  for t in "$@"; do
    out=$SMOKE/$(basename "$t" .exe).out
    smoke_wine "$t" --gtest_brief=1 >"$out" 2>&1 || { cat "$out"; smoke_fail "$(basename "$t") under Wine"; }
    smoke_ok "$(basename "$t"): $(grep -o '[0-9]* tests\? from [0-9]* test suites\? ran' "$out" | head -1), all passed"
  done
}

bv_smoke() { # folder of the built programs
  local from=$1
  SMOKE=$(mktemp -d "${TMPDIR:-/tmp}/bv-windows-smoke.XXXXXX")
  trap smoke_cleanup EXIT
  smoke_display
  smoke_prefix
  cp "$from"/*.exe "$DRIVE_C/Brimvault/bin/"
  echo "-- BrimvaultService under the service manager"
  smoke_service
  echo "-- WindowShepherd"
  smoke_shepherd
  echo "-- the product's tests that need no emulated machine"
  smoke_tests "$from"/*_test*.exe
  smoke_cleanup
  rm -rf "$SMOKE"
}
