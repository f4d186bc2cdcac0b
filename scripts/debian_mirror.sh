#!/usr/bin/env bash
# Prints the Debian mirror this machine's apt sources use for its own release
# (for example bookworm), so that an added source or a new root file system
# comes from the same place, through the same mirror or proxy.
#   debian_mirror.sh            the mirror of the release itself
#   debian_mirror.sh security   the mirror of its security updates
# KALMARIS_DEBIAN_MIRROR (and KALMARIS_DEBIAN_SECURITY_MIRROR) override it.
# Prints nothing when none is found.
set -euo pipefail
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
suite=$codename
override=${KALMARIS_DEBIAN_MIRROR:-}
if [ "${1:-}" = security ]; then
  suite=$codename-security
  override=${KALMARIS_DEBIAN_SECURITY_MIRROR:-}
fi
if [ -n "$override" ]; then
  echo "$override"
  exit 0
fi
apt-get indextargets --format '$(REPO_URI) $(RELEASE)' | awk -v s="$suite" '$2 == s { print $1; exit }'
