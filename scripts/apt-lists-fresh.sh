#!/usr/bin/env bash
# Exits 0 when apt's package lists were fetched at or after
# QUILL_APT_UPDATED_AFTER (seconds since the epoch), 1 when they were not or
# the variable is unset: setup.sh and wine-setup.sh then skip their
# `apt-get update`. Every `apt-get update` touches lists/partial, whether or
# not a list changed.
set -uo pipefail
after=${QUILL_APT_UPDATED_AFTER:-}
[ -n "$after" ] || exit 1
fetched=$(stat -c %Y /var/lib/apt/lists/partial 2>/dev/null) || exit 1
((fetched >= after))
