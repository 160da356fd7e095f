#!/usr/bin/env bash
# format-check.sh COMPILER INCLUDE_ROOT
# A system-log call whose format fits its arguments compiles; one with a
# directive that does not fit (or an argument left over) does not.
set -uo pipefail
compiler=$1
include=$2
check() {  # EXPECTED CALL
  local output status
  output=$(printf '#include "Platform/SystemLog.h"\nvoid f() { %s; }\n' "$2" |
    "$compiler" -std=c++20 -fsyntax-only -I"$include" -x c++ - 2>&1)
  status=$?
  if [ "$1" = compiles ] && [ $status -ne 0 ]; then
    echo "does not compile: $2"; echo "$output"; return 1
  fi
  if [ "$1" = refused ] && ! grep -q formatDoesNotMatchItsArguments <<<"$output"; then
    echo "not refused for its format: $2"; echo "$output"; return 1
  fi
}
failed=0
check compiles 'cw::systemLog("Found %@ (%d) in %s", std::string("x"), 3, "dir")' || failed=1
check refused 'cw::systemLog("Found %d", "text")' || failed=1
check refused 'cw::systemLog("Found %@", std::string("x"), 3)' || failed=1
check refused 'cw::systemLog("Found %@")' || failed=1
exit $failed
