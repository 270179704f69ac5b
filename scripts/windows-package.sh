# shellcheck shell=bash
# The installer of the Windows build, sourced by scripts/windows: bv_package <build folder> packs what the install
# step installs (the two programs) into <build folder>/BrimvaultSetup-<version>-win64.exe with CPack's NSIS generator
# and Debian's makensis (64-bit: Target amd64-unicode), and prints its name and size.

bv_package() { # build-folder
  local build=$1 log=$1/package.log setup
  rm -f "$build"/BrimvaultSetup-*-win64.exe
  (cd "$build" && cpack -G NSIS -C Release) >"$log" 2>&1 || {
    tail -30 "$log"
    find "$build/_CPack_Packages" -name NSISOutput.log -exec tail -30 {} \; 2>/dev/null
    return 1
  }
  setup=$(ls "$build"/BrimvaultSetup-*-win64.exe 2>/dev/null | head -1)
  [ -n "$setup" ] || { echo "cpack made no BrimvaultSetup-*-win64.exe (see $log)"; return 1; }
  echo "   installer: $setup ($(stat -c %s "$setup") bytes)"
}
