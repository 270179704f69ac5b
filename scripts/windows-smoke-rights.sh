# shellcheck shell=bash
# The rights the service set on its log folders, read back under Wine by bvsddl (tests/windows/bvsddl.cpp). Sourced
# by scripts/windows-smoke.sh, whose smoke_wine, smoke_ok, smoke_fail, $DRIVE_C and $TOOLS (the smoke's tools,
# bvsddl.exe among them) it uses. Call smoke_log_folders once the service has started:
#
#   smoke_log_folders
#   smoke_log_rights 'C:\Brimvault\log\bvs' 'O:BA' 'D:P' '(A;OICI;FA;;;SY)' ...   (one folder, any SDDL parts)
#
# Wine 8.0 keeps no owner or DACL of files: SetNamedSecurityInfoW succeeds and the folder reads back with Wine's
# default descriptor. So when the parts are missing, the same rights are set on a scratch folder of our own and read
# back: if they do not hold there either, Wine cannot show them and the step says so instead of failing; if they do,
# the service's are missing and the step fails.

# Owner Administrators; protected: SYSTEM and Administrators full control, Users read/execute (bvu: also write).
SMOKE_LOCKED_PARTS=('O:BA' 'D:P' '(A;OICI;FA;;;SY)' '(A;OICI;FA;;;BA)' '(A;OICI;0x1200a9;;;BU)')
SMOKE_USERS_PARTS=('O:BA' 'D:P' '(A;OICI;FA;;;SY)' '(A;OICI;FA;;;BA)' '(A;OICI;0x1201bf;;;BU)')

smoke_bvsddl() { smoke_wine 60 "bvsddl $*" "$TOOLS/bvsddl.exe" "$@" </dev/null | tr -d '\r'; }

# Whether an SDDL text holds every part given.
smoke_sddl_has() { # sddl parts...
  local sddl=$1 part
  shift
  for part in "$@"; do [[ $sddl == *"$part"* ]] || return 1; done
}

smoke_log_rights() { # windows-path sddl-parts...
  local path=$1 out sddl
  shift
  out=$(smoke_bvsddl "$path") || smoke_fail "bvsddl $path: $out"
  grep -qx 'reparse-point: no' <<<"$out" || smoke_fail "$path is a reparse point: $out"
  (($(sed -n 's/^attributes: //p' <<<"$out") & 0x10)) || smoke_fail "$path is no folder: $out"
  sddl=$(sed -n 's/^sddl: //p' <<<"$out")
  if smoke_sddl_has "$sddl" "$@"; then
    smoke_ok "$path: a real folder, $sddl"
    return
  fi
  local scratch='C:\bv-sddl-probe' wanted='O:BAD:P' part probe
  for part in "$@"; do [[ $part == '('* ]] && wanted+=$part; done
  mkdir -p "$DRIVE_C/bv-sddl-probe"
  probe=$(smoke_bvsddl --set "$scratch" "$wanted" | sed -n 's/^sddl: //p')
  rm -rf "$DRIVE_C/bv-sddl-probe"
  smoke_sddl_has "$probe" "$@" && smoke_fail "$path: $sddl lacks some of: $*"
  smoke_ok "$path: a real folder; its rights unseen, as Wine keeps none on files ($wanted on a folder of ours" \
    "reads back as $probe)"
}

smoke_log_folders() {
  local folder
  for folder in 'C:\Brimvault' 'C:\Brimvault\log' 'C:\Brimvault\log\bvs' 'C:\Brimvault\log\bvs\tmp'; do
    smoke_log_rights "$folder" "${SMOKE_LOCKED_PARTS[@]}"
  done
  smoke_log_rights 'C:\Brimvault\log\bvu' "${SMOKE_USERS_PARTS[@]}"
}
