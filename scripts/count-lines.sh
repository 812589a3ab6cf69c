#!/usr/bin/env bash
# Non-blank, non-comment lines of the tracked sources: all of tests/
# against everything else (models excluded), and their ratio.
#   scripts/count-lines.sh
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
  xargs -r awk '
    /^[[:space:]]*$/ { next }
    /^[[:space:]]*(\/\/|#[^!a-z]|#$|\*|\/\*)/ &&
      !/^[[:space:]]*#(include|define|if|ifdef|ifndef|endif|else|elif|pragma|undef|error)/ { next }
    { n++ }
    END { print n + 0 }'
}
files=$(git ls-files | grep -E '\.(cc|h|mm|cpp|c|py|sh|cmake|js|mjs|ts)$|CMakeLists\.txt$|^\.ci/run$' |
  grep -v '^models/')
tests=$(grep '^tests/' <<< "$files" | count)
code=$(grep -v '^tests/' <<< "$files" | count)
echo "tests/: $tests lines; the rest: $code lines; tests are $((100 * tests / code))% of the rest"
