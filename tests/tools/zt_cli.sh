#!/usr/bin/env bash
# zt's command line: outputs and exit codes an operator relies on.
set -u
zt=$1
fail=0
check() { # expected-exit expected-output args...
  local want_rc=$1 want_out=$2; shift 2
  local out rc
  out=$("$zt" "$@" 2>/dev/null); rc=$?
  if [[ $rc != "$want_rc" || ( -n $want_out && $out != "$want_out" ) ]]; then
    echo "FAIL: zt $* -> rc=$rc out='$out' (wanted rc=$want_rc out='$want_out')"; fail=1
  fi
}
check 0 "failed trying to allocate memory" status 36
check 0 "invalid error number" status 9310
check 0 "invalid error number" status -1
check 0 "invalid client list" status 1800 C
check 2 "" status
check 2 "" status 12x
check 2 "" status 1 2 3
check 2 "" no-such-command
check 2 ""
n=$("$zt" status --all | wc -l)
[[ $n == 1771 ]] || { echo "FAIL: zt status --all listed $n codes, wanted 1771"; fail=1; }
"$zt" demo >/dev/null || { echo "FAIL: zt demo"; fail=1; }
exit $fail
