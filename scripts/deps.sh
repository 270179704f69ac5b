# Installs the Debian packages named, only those missing.
bv_install_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# Installs the Debian packages the build needs, only those missing. Sourced by scripts/test and scripts/run.
bv_install_deps() {
  bv_install_packages cmake ninja-build g++ clang python3 libclang-rt-14-dev qt6-base-dev qt6-base-dev-tools \
    libqt6test6 libprotobuf-dev protobuf-compiler libgtest-dev libgmock-dev libbenchmark-dev \
    g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev libgl-dev procps psmisc
}

# Sends SHUT_DOWN (a CommandRequest frame) to a program's local socket in $TMPDIR, so it ends the way the product
# ends it and its log closes with "logger end". Fails when nothing listens there.
bv_send_shutdown() {
  python3 - "${TMPDIR:-/tmp}/$1" <<'PY'
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
s.sendall(b'\x00\x00\x00\x16\x0a\x12\x0a\x0eCommandRequest\x10\x01\x10\x01')
s.close()
PY
}

# Ends WindowShepherd <pid>: SHUT_DOWN first, a kill only when it has not gone within 5 seconds.
bv_stop_shepherd() {
  local pid=$1
  bv_send_shutdown Brimvault-WindowShepherd-Socket 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill "$pid" 2>/dev/null || true
}
