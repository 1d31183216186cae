#!/usr/bin/env bash
# The assembled bundle: every file in place, the KLOR module inside it the
# same as the one built, and the wrapper exporting its LV2 entry point and
# nothing else (it links the reference host statically).
set -euo pipefail
bundle=$1
built_module=$2
status=0
for file in manifest.ttl klor-distortion.ttl klor_distortion_lv2.so libklor_distortion.so; do
  if [ ! -f "$bundle/$file" ]; then echo "missing $bundle/$file"; status=1; fi
done
[ $status -eq 0 ] || exit 1
if ! cmp -s "$bundle/libklor_distortion.so" "$built_module"; then
  echo "the bundle's libklor_distortion.so is not the one built at $built_module"
  status=1
fi
exports=$(nm -D --defined-only "$bundle/klor_distortion_lv2.so" | awk '{print $3}' | sort -u)
if [ "$exports" != "lv2_descriptor" ]; then
  echo "the wrapper exports:"; echo "$exports" | sed 's/^/  /'
  status=1
fi
# The manifest names the wrapper that is actually there.
binary=$(sed -n 's/.*lv2:binary <\([^>]*\)>.*/\1/p' "$bundle/manifest.ttl")
if [ "$binary" != "klor_distortion_lv2.so" ]; then
  echo "manifest names binary '$binary'"; status=1
fi
[ $status -eq 0 ] && echo "bundle complete; wrapper exports only lv2_descriptor"
exit $status
