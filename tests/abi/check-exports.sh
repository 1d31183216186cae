#!/usr/bin/env bash
# Fails when the module's exported symbols differ from the checked-in list,
# in either direction.
set -euo pipefail
module=$1
list=$2
expected=$(grep -v -E '^(#|$)' "$list" | sort -u)
actual=$(nm -D --defined-only "$module" | awk '{print $3}' | sort -u)
missing=$(comm -23 <(echo "$expected") <(echo "$actual"))
extra=$(comm -13 <(echo "$expected") <(echo "$actual"))
status=0
if [ -n "$missing" ]; then echo "missing from $module:"; echo "$missing" | sed 's/^/  /'; status=1; fi
if [ -n "$extra" ]; then echo "exported but not listed:"; echo "$extra" | sed 's/^/  /'; status=1; fi
[ $status -eq 0 ] && echo "exports match $(echo "$expected" | wc -l) listed symbols"
exit $status
