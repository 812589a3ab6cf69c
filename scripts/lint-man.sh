#!/usr/bin/env bash
# Lints the man pages with mandoc at every level, style included. Only the
# pages' references to each other are let through: mandoc looks for them
# under /usr/share/man, where they are only once installed.
set -euo pipefail
cd "$(dirname "$0")/.."
messages=$(mandoc -T lint man/quorvel.1 man/quorvel-privacy.1 2>&1 |
  grep -v -E 'referenced manual not found: Xr quorvel(-privacy)? 1( |$)' || true)
if [ -n "$messages" ]; then
  echo "$messages" >&2
  exit 1
fi
