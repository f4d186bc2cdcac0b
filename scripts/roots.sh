#!/usr/bin/env bash
# Helpers for the root file systems the scripts make and run programs in
# (scripts/compat.sh --wine10, scripts/bare_root.sh). Sourced.
#
#   processes_in DIR    the pids of the processes whose root directory is DIR
#   stop_processes DIR  ends them all: asked first, then killed
#   mounts_under DIR    the mount points at or under DIR, deepest first

processes_in() {
  local p
  for p in /proc/[0-9]*; do
    if [ "$(readlink "$p/root" 2>/dev/null)" = "$1" ]; then echo "${p#/proc/}"; fi
  done
}

# Wine's servers, Xvfb, the tests: asked first, then killed, until none is left.
stop_processes() {
  local pids attempt
  for attempt in 1 2 3 4 5 6 7 8 9 10; do
    pids=$(processes_in "$1")
    [ -z "$pids" ] && return 0
    # shellcheck disable=SC2086
    if [ "$attempt" -le 5 ]; then kill -TERM $pids 2>/dev/null || true; else kill -KILL $pids 2>/dev/null || true; fi
    sleep 1
  done
  echo "$(basename "$0"): processes still running inside $1: $(processes_in "$1" | tr '\n' ' ')" >&2
  return 1
}

mounts_under() {
  findmnt -rn -o TARGET | awk -v r="$1" '$0 == r || index($0, r "/") == 1' | sort -r
}
