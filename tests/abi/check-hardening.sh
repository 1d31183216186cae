#!/usr/bin/env bash
# Fails unless the module is linked with full RELRO (BIND_NOW + GNU_RELRO),
# a non-executable stack and no text relocations.
set -euo pipefail
module=$1
dynamic=$(readelf -d -W "$module")
segments=$(readelf -l -W "$module")
fail=0
check() { if ! eval "$2"; then echo "FAIL: $1"; fail=1; else echo "ok: $1"; fi; }
check "BIND_NOW"            'grep -q -E "BIND_NOW|FLAGS.*NOW" <<<"$dynamic"'
check "GNU_RELRO segment"   'grep -q GNU_RELRO <<<"$segments"'
check "non-executable stack" 'grep -E "GNU_STACK" <<<"$segments" | grep -q -v -E "RWE"'
check "no text relocations" '! grep -q TEXTREL <<<"$dynamic"'
exit $fail
