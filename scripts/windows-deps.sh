# Builds the Windows dependencies once into a cache outside the checkout: Qt (qtbase) and protobuf from the source
# packages of the versions Debian ships, and GoogleTest from Debian's googletest sources, cross-compiled static with
# mingw-w64. Sourced by scripts/windows; a second run finds each piece's stamp and builds nothing.
#   BV_WIN_CACHE   the cache folder (default ~/.cache/brimvault-windows)
#   BV_WIN_JOBS    build jobs for the dependencies (default: the cores)

bv_win_cache() { echo "${BV_WIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/brimvault-windows}"; }

# The cache key of the toolchain: the compiler's target and version, so a new mingw-w64 builds everything anew.
bv_win_toolchain_key() { echo "$(x86_64-w64-mingw32-g++-posix -dumpmachine)-gcc$(x86_64-w64-mingw32-g++-posix -dumpversion)"; }

# Where one dependency of one version is installed for the current toolchain.
bv_win_prefix() { echo "$(bv_win_cache)/$1-$2-$(bv_win_toolchain_key)"; }

# Debian's version of a source package, as the machine's apt knows it for the binary package given.
bv_debian_version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null; }

# Fetches a Debian source package of one version into $1 through a private sources list, leaving the machine's apt
# configuration alone, and unpacks it with Debian's patches applied.
bv_fetch_source() { # dest source-package version
  local dest=$1 pkg=$2 version=$3 cache apt
  cache=$(bv_win_cache)
  [ -f "$dest/.unpacked" ] && return 0
  mkdir -p "$cache/apt/lists/partial" "$cache/downloads"
  if [ ! -f "$cache/apt/sources.list" ]; then
    local suite
    suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $suite main" \
      >"$cache/apt/sources.list"
  fi
  apt=(apt-get -q -o "Dir::Etc::sourcelist=$cache/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
       -o "Dir::State::Lists=$cache/apt/lists" -o APT::Sandbox::User=root)
  ls "$cache/apt/lists/"*Sources* >/dev/null 2>&1 || "${apt[@]}" update >/dev/null
  (cd "$cache/downloads" && "${apt[@]}" source --download-only "$pkg=$version" >/dev/null)
  rm -rf "$dest"; mkdir -p "$(dirname "$dest")"
  local dsc
  dsc=$(ls "$cache/downloads/${pkg}_${version#*:}.dsc")
  dpkg-source --no-check -x "$dsc" "$dest" >"$dest.unpack.log" 2>&1 || { cat "$dest.unpack.log"; return 1; }
  touch "$dest/.unpacked"
}

# Runs a long build step with its output in a log; prints a line every 30 s so the wait is visible. The step runs in
# a process group of its own, which an interrupt or a stop of the caller ends with it: a build in the background
# ignores the terminal's Ctrl+C and would otherwise go on alone.
bv_step() { # label log command...
  local label=$1 log=$2; shift 2
  local start=$SECONDS
  echo "   $label ... (log: $log)"
  setsid "$@" >"$log" 2>&1 &
  local pid=$!
  local int term
  int=$(trap -p INT) term=$(trap -p TERM)
  # shellcheck disable=SC2064 # this step's pid, now
  trap "kill -TERM -- -$pid 2>/dev/null; exit 130" INT
  # shellcheck disable=SC2064
  trap "kill -TERM -- -$pid 2>/dev/null; exit 143" TERM
  while kill -0 "$pid" 2>/dev/null; do
    sleep 5
    if (((SECONDS - start) % 30 < 5)) && kill -0 "$pid" 2>/dev/null; then
      local progress
      progress=$(grep -o '^\[[0-9]*/[0-9]*\]' "$log" | tail -1 || true)
      echo "   $label: $((SECONDS - start)) s ${progress}"
    fi
  done
  local rc=0
  wait "$pid" || rc=$?
  trap - INT TERM
  eval "$int"
  eval "$term"
  if [ "$rc" != 0 ]; then
    echo "   $label FAILED (exit status $rc); from $log:"
    if grep -q -E 'CMake Error|FAILED:|error:' "$log"; then
      grep -E -A4 'CMake Error|FAILED:|error:' "$log" | head -60 || true
    else
      tail -30 "$log"
    fi
    return 1
  fi
  echo "   $label: done in $((SECONDS - start)) s"
}

# Configures, builds and installs one CMake project for Windows into prefix, then stamps the prefix as built.
bv_cmake_install() { # label source prefix toolchain [cmake options...]
  local label=$1 src=$2 prefix=$3 toolchain=$4 build
  shift 4
  build=$(bv_win_cache)/src/$(basename "$prefix")-build
  rm -rf "$build"
  bv_step "$label: configure" "$build.log" \
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX="$prefix" "$@"
  bv_step "$label: build and install" "$build.log" \
    nice cmake --build "$build" -j "${BV_WIN_JOBS:-$(nproc)}" --target install
  rm -rf "$build"
  touch "$prefix/.built"
}

bv_build_protobuf() { # toolchain
  local version prefix src
  version=$(bv_debian_version libprotobuf-dev)
  prefix=$(bv_win_prefix protobuf "$version")
  [ -f "$prefix/.built" ] && return 0
  src=$(bv_win_cache)/src/protobuf-$version
  bv_fetch_source "$src" protobuf "$version"
  bv_cmake_install "protobuf $version" "$src/cmake" "$prefix" "$1" -Dprotobuf_BUILD_TESTS=OFF \
    -Dprotobuf_BUILD_PROTOC_BINARIES=OFF -Dprotobuf_BUILD_SHARED_LIBS=OFF -Dprotobuf_WITH_ZLIB=OFF
}

bv_build_googletest() { # toolchain
  local version prefix
  version=$(bv_debian_version googletest)
  prefix=$(bv_win_prefix googletest "$version")
  [ -f "$prefix/.built" ] && return 0
  bv_cmake_install "googletest $version" /usr/src/googletest "$prefix" "$1"
}

bv_build_qt() { # toolchain
  local version prefix src
  version=$(bv_debian_version qt6-base-dev)
  prefix=$(bv_win_prefix qtbase "$version")
  [ -f "$prefix/.built" ] && return 0
  src=$(bv_win_cache)/src/qtbase-$version
  bv_fetch_source "$src" qt6-base "$version"
  # Static Release with what the programs use (Core, Network, Gui, Widgets, Test and the Windows platform plugin);
  # the host's Qt tools (moc, rcc, uic) come from Debian's Qt of the same version. Two settings make Debian's source
  # build for Windows as it is: tablet events off (Debian's source leaves out the third-party wintab.h that the
  # Windows plugin's tablet support includes), and OpenGL off through its input, which also turns dynamic GL off
  # (the Windows window code does not compile with OpenGL off and dynamic GL on). The build is the longest step:
  # about half an hour on eight cores.
  bv_cmake_install "qtbase $version" "$src" "$prefix" "$1" -DBUILD_SHARED_LIBS=OFF \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF -DQT_BUILD_MANUAL_TESTS=OFF \
    -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_vulkan=OFF -DFEATURE_tabletevent=OFF \
    -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF -DFEATURE_dbus=OFF -DFEATURE_xml=OFF -DFEATURE_concurrent=OFF \
    -DFEATURE_openssl=OFF -DFEATURE_icu=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF \
    -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF \
    -DFEATURE_system_doubleconversion=OFF
}

# A 64-bit console program that needs no DLL beyond Windows' own: no C++ runtime, Qt or protobuf DLL beside it.
bv_check_windows_exe() { # exe
  local exe=$1 dump
  dump=$(x86_64-w64-mingw32-objdump -p "$exe")
  grep -q '^Magic.*020b' <<<"$dump" || { echo "   $exe: not a 64-bit (PE32+) program"; return 1; }
  grep -q '^Subsystem.*(Windows CUI)' <<<"$dump" || { echo "   $exe: not a console-subsystem program"; return 1; }
  local foreign
  foreign=$(grep 'DLL Name:' <<<"$dump" | awk '{print $3}' | grep -i -E '^(lib|qt|icu|zlib|protobuf)' || true)
  if [ -n "$foreign" ]; then
    echo "   $exe: needs DLLs that are not Windows' own: $foreign"
    return 1
  fi
  echo "   $exe: PE32+ x86-64 console program, $(du -m "$exe" | cut -f1) MB, imports only Windows DLLs:" \
    "$(grep 'DLL Name:' <<<"$dump" | awk '{print $3}' | sort -f | tr '\n' ' ')"
}
