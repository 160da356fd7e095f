#!/usr/bin/env bash
# Builds the Debian package from a copy of the source tree as a Debian
# maintainer would (dpkg-buildpackage), checks it (name, dependencies,
# contents, lintian at warning level), installs it with dpkg into a throwaway
# root (maintainer scripts included, run without chroot as DPKG_ROOT tells
# them), runs the installed agent through a crash to the recorded mail and
# its autostart entry as a session starts it at login (gio), then removes it
# (the entry, a conffile, stays and must do nothing) and purges it.
# Usage: package-test.sh SOURCE_DIR INSTALLED_AGENT_TEST
set -euo pipefail
source=$1
agent_test=$2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
step() { printf -- '-- %s\n' "$*"; }
# Polls COMMAND until it succeeds; 60 s is a hang guard only.
wait_until() {
  local polls=0
  until "$@"; do
    polls=$((polls + 1))
    [ "$polls" -lt 600 ] || return 1
    sleep 0.1
  done
}

version=$(sed -n 's/^project(CrashWatcher VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
arch=$(dpkg --print-architecture)
[ "$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)" = "$version" ] ||
  fail "debian/changelog is not at the project's version $version"

step "copying the source tree"
tree="$work/src/crashwatcher-$version"
mkdir -p "$tree"
if git -C "$source" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # What is tracked or new, never what is ignored (build folders).
  git -C "$source" ls-files -z -co --exclude-standard |
    while IFS= read -r -d '' file; do
      if [ -e "$source/$file" ] || [ -L "$source/$file" ]; then printf '%s\0' "$file"; fi
    done | (cd "$source" && xargs -0 -r cp --parents -d -t "$tree")
else
  tar -C "$source" --exclude='./build*' --exclude='./obj-*' --exclude=./.git -cf - . | tar -C "$tree" -xf -
fi

step "dpkg-buildpackage"
if ! (cd "$tree" && DEB_BUILD_OPTIONS="parallel=${JOBS:-2}" dpkg-buildpackage -b -us -uc >"$work/build.log" 2>&1); then
  tail -n 60 "$work/build.log" >&2
  echo "FAIL: dpkg-buildpackage" >&2
  exit 1
fi
deb="$work/src/crashwatcher_${version}_${arch}.deb"
[ -f "$deb" ] || {
  ls "$work/src" >&2
  echo "FAIL: no $(basename "$deb")" >&2
  exit 1
}

step "lintian"
lintian --fail-on warning --display-info "$deb" >"$work/lintian.log" 2>&1 || fail "lintian reports warnings or errors"
grep -v 'running with root privileges' "$work/lintian.log" || true

step "dependencies and contents"
depends=$(dpkg-deb -f "$deb" Depends)
# The package names alone, one a line.
depended=$(sed -e 's/ *([^)]*)//g' -e 's/, */\n/g' <<<"$depends")
# Named by hand, and found by dpkg-shlibdeps in the agent and the helper.
for needed in ruby xdg-utils libgtk-3-0 libpugixml1v5 libstdc++6; do
  grep -qxF "$needed" <<<"$depended" || fail "Depends lacks $needed: $depends"
done
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/bin/CrashWatcher ./usr/libexec/crashwatcher/crashwatcher-dialog \
  ./usr/share/crashwatcher/Info.plist ./usr/share/crashwatcher/Resources/related-crash-report.rb \
  ./usr/lib/systemd/user/crashwatcher.service ./etc/xdg/autostart/crashwatcher.desktop \
  ./usr/share/man/man1/CrashWatcher.1.gz ./usr/share/doc/crashwatcher/copyright; do
  grep -qxF "$path" <<<"$contents" || fail "not in the package: $path"
done
grep -qE '^\./usr/share/doc/crashwatcher/README\.md(\.gz)?$' <<<"$contents" || fail "no README in the package"
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles)" = /etc/xdg/autostart/crashwatcher.desktop ] ||
  fail "the autostart entry is not the package's only conffile"

step "dpkg --root: install"
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/log"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# An empty root satisfies none of the dependencies; they are this machine's.
dpkg_root=(dpkg --root="$root" --force-not-root --force-script-chrootless --force-depends --log="$root/var/log/dpkg.log")
if ! "${dpkg_root[@]}" -i "$deb" >"$work/dpkg.log" 2>&1; then
  cat "$work/dpkg.log" >&2
  fail "dpkg -i into the throwaway root"
fi
[ "$(dpkg-query --root="$root" -W -f='${db:Status-Abbrev}' crashwatcher 2>/dev/null)" = "ii " ] ||
  fail "not installed and configured in the throwaway root"
grep -qxF "ExecStart=/usr/bin/CrashWatcher" "$root/usr/lib/systemd/user/crashwatcher.service" ||
  fail "the installed unit does not start /usr/bin/CrashWatcher"
entry="$root/etc/xdg/autostart/crashwatcher.desktop"
grep -qxF "TryExec=/usr/bin/CrashWatcher" "$entry" && grep -q '^Exec=.* exec /usr/bin/CrashWatcher"$' "$entry" ||
  fail "the installed autostart entry does not start /usr/bin/CrashWatcher, or only tries it"
desktop-file-validate "$entry" >"$work/validate.log" 2>&1 && [ ! -s "$work/validate.log" ] || {
  cat "$work/validate.log" >&2
  fail "desktop-file-validate finds fault with the autostart entry"
}

# A login start of the entry as GLib-based sessions do it (gio launch: the
# Exec line parsed as the desktop entry format has it, TryExec honoured), in
# a fresh home; the entry names the agent of the throwaway root. The gio
# output is the agent's log.
login_start() {
  local home=$1 started="$work/autostart/crashwatcher.desktop"
  mkdir -p "$home" "$work/autostart"
  sed "s|/usr/bin/CrashWatcher|$root/usr/bin/CrashWatcher|g" "$entry" >"$started"
  HOME=$home LC_ALL=C gio launch "$started" >"$home.log" 2>&1
}

step "the installed agent: a crash to the recorded mail"
if ! CW_INSTALLED_PREFIX="$root/usr" "$agent_test" >"$work/agent-test.log" 2>&1; then
  cat "$work/agent-test.log" >&2
  fail "the installed agent did not take the crash to the mail"
fi

step "the autostart entry: a login start runs the agent"
home="$work/home-installed"
if login_start "$home" && wait_until grep -q "\] Watching '" "$home.log"; then
  # The agent names its process in every line; it ends as the session ends it.
  pid=$(sed -n "s/.* CrashWatcher\[\([0-9]*\):[0-9]*\] Watching '.*/\1/p" "$home.log")
  [ -n "$pid" ] && kill -INT "$pid" && wait_until grep -q "caught SIGINT" "$home.log" ||
    fail "the agent started at login did not end on SIGINT: $(cat "$home.log")"
else
  fail "a login start of the installed entry did not start the agent: $(cat "$home.log")"
fi

step "dpkg --root: remove"
"${dpkg_root[@]}" -r crashwatcher >"$work/dpkg.log" 2>&1 || {
  cat "$work/dpkg.log" >&2
  fail "dpkg -r"
}
[ ! -e "$root/usr/bin/CrashWatcher" ] || fail "the agent is left after dpkg -r"
[ -e "$entry" ] || fail "the conffile went with dpkg -r, before purge"

step "the autostart entry after remove: a login start does nothing"
home="$work/home-removed"
! login_start "$home" || fail "a login start ran the entry of a removed package"
# GLib's own word that it refused the entry, and nothing made in the home.
grep -q "Unable to load application information" "$home.log" ||
  fail "gio did not refuse the entry of a removed package: $(cat "$home.log")"
[ ! -e "$home/Library" ] || fail "a login start after remove created $home/Library"

step "dpkg --root: purge"
"${dpkg_root[@]}" -P crashwatcher >"$work/dpkg.log" 2>&1 || {
  cat "$work/dpkg.log" >&2
  fail "dpkg -P"
}
left=$(find "$root" -path "$root/var" -prune -o ! -type d -print)
[ -z "$left" ] || fail "left after purge: $left"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package $(basename "$deb"), installed size $(dpkg-deb -f "$deb" Installed-Size) KiB: all checks passed"
