#!/usr/bin/env bash
# Prints the Debian mirror this machine's apt sources use for its own release
# (for example bookworm), so that an added source or a new root file system
# comes from the same place, through the same mirror or proxy.
# KALMARIS_DEBIAN_MIRROR overrides it. Prints nothing when none is found.
set -euo pipefail
if [ -n "${KALMARIS_DEBIAN_MIRROR:-}" ]; then
  echo "$KALMARIS_DEBIAN_MIRROR"
  exit 0
fi
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
apt-get indextargets --format '$(REPO_URI) $(RELEASE)' | awk -v s="$codename" '$2 == s { print $1; exit }'
