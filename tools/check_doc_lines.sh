#!/usr/bin/env bash
# Fails unless every non-empty line that a script printed stands, as it is,
# as a line of the page that shows it: so that a table or a transcript in
# docs/ cannot drift from what the script now prints (CI runs it on the ARM
# scripts' output against docs/embedded.md).
#
#   tools/check_doc_lines.sh DOC OUTPUT...
#
# Exits 0 when every line is there, 1 listing those that are not, 2 on bad
# usage.
set -euo pipefail
(($# >= 2)) || { echo "usage: tools/check_doc_lines.sh DOC OUTPUT..." >&2; exit 2; }
doc=$1
shift
missing=0
for output; do
  while IFS= read -r line; do
    [[ -z $line ]] && continue
    if ! grep -Fxq -- "$line" "$doc"; then
      echo "check_doc_lines: $doc does not show this line of $output:" >&2
      echo "  $line" >&2
      missing=1
    fi
  done <"$output"
done
[[ $missing == 0 ]] && echo "check_doc_lines: $doc shows every line of $*"
exit $missing
