#!/usr/bin/env bash
# Refuses a pipe into a quiet grep in shell scripts.  Under `set -o pipefail`
# such a check flakes: grep -q exits at its first match, the writer may then
# die of SIGPIPE, and the pipeline reports failure although the text was
# there.  Capture the writer's output first, count with grep -c, or end the
# writer with `|| true`.
#
#   bash tools/check_pipes.sh [FILE...]   (default: every tracked *.sh; run by tools/lint.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

if (($# == 0)); then
  mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.sh')
  set -- "${files[@]}"
fi
# A single | (not ||), then grep whose options include q, --quiet or --silent.
pattern='(^|[^|])\|[[:space:]]*grep([[:space:]]+-[^[:space:]]*)*[[:space:]]+(-[[:alpha:]]*q[[:alpha:]]*|--quiet|--silent)([[:space:]]|$)'
found=$(grep -nE "$pattern" "$@" /dev/null || true)
if [ -n "$found" ]; then
  echo "$found"
  echo "check_pipes: a pipe into grep -q flakes under pipefail; capture the output or use grep -c" >&2
  exit 1
fi
