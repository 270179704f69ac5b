# Installs the Debian packages the build needs, only those missing. Sourced by scripts/test and scripts/run.
bv_install_deps() {
  local pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev qt6-base-dev qt6-base-dev-tools libqt6test6
              libprotobuf-dev protobuf-compiler libgtest-dev libgmock-dev libbenchmark-dev libspdlog-dev
              g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev libgl-dev procps psmisc)
  local missing=()
  for p in "${pkgs[@]}"; do
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
