#!/usr/bin/env bash
# Installs a build into a staging folder (DESTDIR), checks the installed tree,
# then runs the installed agent from there with a temporary HOME: it must find
# its bundle beside itself, not in the build tree nor the working directory,
# and have the installed relatedness script judge a related Finder crash log.
# Usage: install-test.sh CMAKE BUILD_DIR SOURCE_DIR
set -euo pipefail
cmake=$1
build=$2
source=$3

work=$(mktemp -d)
agent_pid=
cleanup() {
  if [ -n "$agent_pid" ]; then
    kill -KILL "$agent_pid" 2>/dev/null || true
    wait "$agent_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
check_file() { [ -f "$1" ] || fail "not installed: $1"; }
check_executable() { [ -f "$1" ] && [ -x "$1" ] || fail "not installed as an executable: $1"; }
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

if ! DESTDIR="$work/dest" "$cmake" --install "$build" >"$work/install.log" 2>&1; then
  cat "$work/install.log" >&2
  echo "FAIL: cmake --install" >&2
  exit 1
fi
prefix=$(cache_value CMAKE_INSTALL_PREFIX)
root="$work/dest$prefix"

# Everything lands below the prefix, and in the staging folder.
while IFS= read -r installed; do
  case "$installed" in
    "$prefix/"*) [ -e "$work/dest$installed" ] || fail "listed as installed, not in DESTDIR: $installed" ;;
    *) fail "installed outside the prefix: $installed" ;;
  esac
done <"$build/install_manifest.txt"

check_executable "$root/bin/CrashWatcher"
bundle="$root/share/crashwatcher"
check_file "$bundle/Info.plist"
grep -q '<string>com.vellumdrift.CrashWatcher</string>' "$bundle/Info.plist" || fail "Info.plist without the identifier"
# The resources as they are in the source tree, the property list one level up.
while IFS= read -r -d '' file; do
  relative=${file#"$source/CrashWatcher/Resources/"}
  [ "$relative" = Info.plist ] && continue
  if [ ! -f "$bundle/Resources/$relative" ]; then
    fail "resource not installed: $relative"
  elif ! cmp -s "$file" "$bundle/Resources/$relative"; then
    fail "resource differs from the source: $relative"
  fi
done < <(find "$source/CrashWatcher/Resources" -type f -print0)
for script in related-crash-report upload-gist extract-crash-info; do
  check_executable "$bundle/Resources/$script.rb"
done
if [ "$(cache_value CRASHWATCHER_BUILD_DIALOG)" = ON ]; then
  check_executable "$root/libexec/crashwatcher/crashwatcher-dialog"
fi
check_file "$root/share/man/man1/CrashWatcher.1"
check_file "$root/share/doc/CrashWatcher/README.md"

unit="$root/lib/systemd/user/crashwatcher.service"
check_file "$unit"
[ -f "$unit" ] && { grep -qxF "ExecStart=$prefix/bin/CrashWatcher" "$unit" || fail "$unit does not start $prefix/bin/CrashWatcher"; }
autostart="$root/etc/xdg/autostart/crashwatcher.desktop"
check_file "$autostart"
[ -f "$autostart" ] && { grep -qxF "TryExec=$prefix/bin/CrashWatcher" "$autostart" && grep -q "^Exec=.* exec $prefix/bin/CrashWatcher\"\$" "$autostart" || fail "$autostart does not start $prefix/bin/CrashWatcher"; }

# The service files name the prefix of the install, not the one the build
# was configured with; /usr keeps its configuration in /etc.
for other in "$work/alt" /usr; do
  dest="$work/dest-other"
  rm -rf "$dest"
  if ! DESTDIR="$dest" "$cmake" --install "$build" --prefix "$other" >"$work/install-other.log" 2>&1; then
    cat "$work/install-other.log" >&2
    fail "cmake --install --prefix $other"
    continue
  fi
  etc="$other/etc"
  [ "$other" = /usr ] && etc=/etc
  grep -qxF "ExecStart=$other/bin/CrashWatcher" "$dest$other/lib/systemd/user/crashwatcher.service" ||
    fail "the unit installed with --prefix $other does not start $other/bin/CrashWatcher"
  grep -q "^Exec=.* exec $other/bin/CrashWatcher\"\$" "$dest$etc/xdg/autostart/crashwatcher.desktop" ||
    fail "no autostart entry starting $other/bin/CrashWatcher in $etc/xdg/autostart"
done
# A prefix the unit file could not name is refused, not written half right.
if DESTDIR="$work/dest-quoted" "$cmake" --install "$build" --prefix "$work/a b" >"$work/install-other.log" 2>&1; then
  fail "installed to a prefix with a space, which the unit file cannot name"
fi
grep -q "cannot name" "$work/install-other.log" || fail "no clear message for a prefix the unit file cannot name"

# The installed agent, started from another working directory.
home="$work/home"
local="$work/local"
mkdir -p "$home/Library/Application Support" "$home/Library/Logs/DiagnosticReports" "$local/Logs/CrashReporter"
crash="$local/Logs/CrashReporter/Finder_$(date +%Y-%m-%d-%H%M%S)_testhost.crash"
cp "$source/tests/scripts/fixtures/finder-related.crash" "$crash"
log="$work/agent.log"
(cd / && exec env -u DISPLAY -u WAYLAND_DISPLAY HOME="$home" CRASHWATCHER_LOCAL_LIBRARY="$local" \
  "$root/bin/CrashWatcher" 2>"$log" </dev/null) &
agent_pid=$!

# Waits until the agent has logged the text; a hang guard of about a minute.
wait_for_log() {
  for _ in $(seq 3000); do
    grep -qF -- "$1" "$log" && return 0
    kill -0 "$agent_pid" 2>/dev/null || break
    sleep 0.02
  done
  grep -qF -- "$1" "$log"
}

if wait_for_log "Watching '$home/Library/Logs/DiagnosticReports'"; then
  touch "$crash"  # inside the scan's 10-second window, however slow the start
  kill -USR1 "$agent_pid"
  wait_for_log "'$crash' crash report was related to Vellumdrift -> open Crash Reporting Dialog" ||
    fail "the installed agent did not find the crash log related"
  grep -q '<key>com.apple.PreferenceSync.ExcludeAllSyncKeys</key>' \
    "$home/Library/Preferences/com.vellumdrift.CrashWatcher.plist" 2>/dev/null ||
    fail "no preferences in the domain named by the installed Info.plist"
  # Without a display the dialog ends as a refusal; the agent goes on.
  kill -INT "$agent_pid"
  status=0
  wait "$agent_pid" || status=$?
  agent_pid=
  [ "$status" -eq 0 ] || fail "the installed agent ended with status $status after SIGINT"
  grep -qF "caught SIGINT - exiting..." "$log" || fail "no shutdown message"
  [ ! -e "$home/Library/Application Support/.VellumdriftCrashWatcher.lock" ] || fail "lock file left behind"
else
  fail "the installed agent did not start watching"
fi

if [ "$failures" -ne 0 ]; then
  echo "--- agent log" >&2
  cat "$log" >&2 || true
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "installed tree and installed agent: all checks passed"
