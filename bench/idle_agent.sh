#!/usr/bin/env bash
# Starts the built agent in a temporary HOME, lets it sit idle for 10 s and
# reports its resident memory and the context switches it made meanwhile.
# Targets: at most 4 MB resident, no wake-ups while idle.
# Usage: bench/idle_agent.sh [build-dir]   (default: build)
set -euo pipefail
build=${1:-build}
agent="$build/bin/CrashWatcher"
[ -x "$agent" ] || { echo "no agent at $agent; build first" >&2; exit 2; }

home=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$home"' EXIT
mkdir -p "$home/Library/Application Support" "$home/Library/Logs/DiagnosticReports"
HOME="$home" CRASHWATCHER_LOCAL_LIBRARY="$home/local" "$agent" 2>"$home/agent.log" &
pid=$!
for _ in $(seq 100); do grep -q "Watching '" "$home/agent.log" 2>/dev/null && break; sleep 0.05; done
sleep 1

switches() { awk '/^(voluntary|nonvoluntary)_ctxt_switches/ { n += $2 } END { print n }' "/proc/$pid/status"; }
before=$(switches)
sleep 10
after=$(switches)
rss_kb=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status")
echo "resident_kb=$rss_kb"
echo "context_switches_over_10s=$((after - before))"
kill -INT "$pid"
wait "$pid" || true
