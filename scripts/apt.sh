#!/usr/bin/env bash
# Package installs that survive a mirror caught mid-sync. Sourced by
# scripts/setup.sh and tests/wine/enable_i386.sh.
#
#   apt_refresh                      apt-get update, tried a few times; an index
#                                    that still fails is named and the set-up
#                                    goes on with what apt has
#   apt_install [-t SUITE] PACKAGE…  apt-get install; when apt cannot resolve it,
#                                    once more preferring the release's own
#                                    suites (or SUITE), then one clear message
#
# A mirror that is syncing serves a Release file that does not match its
# indexes, for one architecture or suite at a time. apt then ignores that
# index and offers, for example, amd64 security updates whose i386 twins it
# cannot see; preferring the release's own suites resolves such an install.
# KALMARIS_APT_RETRY_SECONDS sets the pause between tries of the update
# (default 5).

export DEBIAN_FRONTEND=noninteractive
apt_failed_indexes=""

apt_release() { (. /etc/os-release && echo "$VERSION_CODENAME"); }

apt_refresh() {
  local log try tries=3 pause=${KALMARIS_APT_RETRY_SECONDS:-5}
  log=$(mktemp)
  for ((try = 1; try <= tries; try++)); do
    if apt-get update -qq >"$log" 2>&1 </dev/null; then
      apt_failed_indexes=""
      rm -f "$log"
      return 0
    fi
    # Each failing index is named by the line "Failed to fetch URL  reason".
    apt_failed_indexes=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\) *\(.*\)$/\1: \2/p' "$log" | sed 's/ *\[IP: [^]]*\]$//')
    if [ "$try" -lt "$tries" ]; then sleep "$pause"; fi
  done
  if [ -z "$apt_failed_indexes" ]; then
    cat "$log" >&2
    rm -f "$log"
    echo "setup: apt-get update failed $tries times (above); check the machine's apt sources and network" >&2
    return 1
  fi
  rm -f "$log"
  echo "setup: after $tries tries these package indexes still do not match their Release files; going on with what apt has:" >&2
  printf '  %s\n' "$apt_failed_indexes" >&2
  return 0
}

apt_install() {
  local suite
  suite=$(apt_release)
  if [ "${1:-}" = -t ]; then
    suite=$2
    shift 2
  else
    apt-get install -y -qq --no-install-recommends "$@" </dev/null && return 0
    echo "setup: apt could not resolve the install; trying once more preferring the suite $suite" >&2
  fi
  apt-get install -y -qq --no-install-recommends -t "$suite" "$@" </dev/null && return 0
  echo >&2
  if [ -n "$apt_failed_indexes" ]; then
    echo "setup: cannot install $*: these package indexes did not refresh:" >&2
    printf '  %s\n' "$apt_failed_indexes" >&2
    echo "The mirror is probably in the middle of a sync. Wait for it to finish (usually within an hour) and run" \
      "the command again, or point the machine's apt sources at another mirror." >&2
  else
    echo "setup: cannot install $*: apt's reasons stand above. Check the machine's apt sources" \
      "(apt-get update must succeed) and run the command again." >&2
  fi
  return 1
}
