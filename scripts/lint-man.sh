#!/usr/bin/env bash
# Lints the man pages (those named, else man/*.1) with mandoc at every
# level, style included. Only the pages' references to each other are let
# through: mandoc looks them up in its own database of /usr/share/man,
# which Debian does not keep, so it reports them missing or outdated.
set -euo pipefail
cd "$(dirname "$0")/.."
pages=("$@")
[ ${#pages[@]} -gt 0 ] || pages=(man/quorvel.1 man/quorvel-privacy.1)
messages=$(mandoc -T lint "${pages[@]}" 2>&1 |
  grep -v -E 'referenced manual not found: Xr quorvel(-privacy)? 1( |$)|outdated mandoc\.db lacks quorvel(-privacy)?\(1\) entry' ||
  true)
if [ -n "$messages" ]; then
  echo "$messages" >&2
  exit 1
fi
