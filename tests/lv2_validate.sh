#!/usr/bin/env bash
# Validates the bundle's Turtle files with lv2_validate against the LV2
# vocabularies that lv2-dev installs (sord_validate comes from sordi): no
# errors and no warnings. Exits 77 (skipped) when the validator is not
# installed.
set -euo pipefail
bundle=$1
if ! command -v lv2_validate >/dev/null || ! command -v sord_validate >/dev/null; then
  echo "lv2_validate or sord_validate not found (Debian packages lv2-dev, sordi)"
  exit 77
fi
for file in manifest.ttl klor-distortion.ttl; do
  [ -f "$bundle/$file" ] || { echo "missing $bundle/$file"; exit 1; }
done
status=0
report=$(lv2_validate "$bundle/manifest.ttl" "$bundle/klor-distortion.ttl" 2>&1) || status=$?
echo "$report"
if [ $status -ne 0 ]; then echo "lv2_validate exited with $status"; exit 1; fi
if ! grep -q "Found 0 errors" <<<"$report"; then echo "no '0 errors' line"; exit 1; fi
if grep -E "^(error|warning):" <<<"$report"; then echo "validator complaints above"; exit 1; fi
exit 0
