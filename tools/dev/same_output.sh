#!/usr/bin/env bash
# Encodes every corpus page under each option set with two builds of the
# tool and compares the streams byte for byte; then decodes each stream
# with both and compares the PBMs. For refactors that must not change a
# byte.
#   usage: tools/dev/same_output.sh OLD_TOOL NEW_TOOL
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
old=$1 new=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sets=("" "-d 3" "-d 2 -s 16" "--best" "-3 -m 8" "-d 1 --no-tpdon --dpon" "--no-index")
runs=0 diffs=0
for page in "$root"/tests/data/corpus/*.pbm.gz; do
  name=$(basename "$page" .pbm.gz)
  for i in "${!sets[@]}"; do
    read -r -a opts <<<"${sets[$i]}"
    "$old" encode -q "${opts[@]}" "$page" "$work/old.jbg"
    "$new" encode -q "${opts[@]}" "$page" "$work/new.jbg"
    "$old" decode -q "$work/new.jbg" "$work/old.pbm"
    "$new" decode -q "$work/new.jbg" "$work/new.pbm"
    runs=$((runs + 1))
    if ! cmp -s "$work/old.jbg" "$work/new.jbg" || ! cmp -s "$work/old.pbm" "$work/new.pbm"; then
      echo "DIFFERS: $name [${sets[$i]}]"
      diffs=$((diffs + 1))
    else
      echo "same: $name [${sets[$i]}] $(stat -c %s "$work/new.jbg") bytes"
    fi
  done
done
echo "$runs runs, $diffs differ"
[[ $diffs -eq 0 ]]
