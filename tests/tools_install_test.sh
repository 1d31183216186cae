#!/usr/bin/env bash
# Installs the build into a temporary prefix, as a packager would, then uses
# it as a host author would: builds examples/minimal-host with
# find_package(klor CONFIG) and again with pkg-config, runs both, and runs
# the installed klor-fx, which must find the installed module by itself.
#
# usage: tools_install_test.sh CMAKE BUILD_DIR SOURCE_DIR LIBDIR CXX GENERATOR
set -euo pipefail

cmake=$1 build=$2 source=$3 libdir=$4 cxx=$5 generator=$6
work=$(mktemp -d "${TMPDIR:-/tmp}/klor-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "FAIL: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "cmake --install"; }

for f in "$libdir/libklor_distortion.so" "$libdir/libklor_host.a" \
         include/klor/klor_dsp.h include/klor/klor_global.h include/klor/klor_result.h \
         include/klor/klor_host.h \
         "$libdir/cmake/klor/klorConfig.cmake" "$libdir/cmake/klor/klorConfigVersion.cmake" \
         "$libdir/cmake/klor/klorTargets.cmake" "$libdir/pkgconfig/klor.pc" \
         bin/klor-fx share/man/man1/klor-fx.1; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done

# The installed module still has its entry point. (Captured first: with
# pipefail, grep -q closing the pipe early would fail nm.)
symbols=$(nm -D --defined-only "$prefix/$libdir/libklor_distortion.so")
grep -q ' KLORGetDSPDescriptionEx$' <<<"$symbols" || fail "installed module lacks KLORGetDSPDescriptionEx"

# Level 0.5 on {0.5, -0.25, 1, 0}.
expected=$'0.75\n-0.5\n1\n0'

# 1. CMake package.
"$cmake" -S "$source/examples/minimal-host" -B "$work/example" -G "$generator" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; fail "configuring the example with find_package(klor)"; }
"$cmake" --build "$work/example" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; fail "building the example"; }
out=$("$work/example/minimal-host")
[ "$out" = "$expected" ] || fail "example printed: $out"
# It loads the installed module, not the build tree's.
grep -qa "$prefix/$libdir/libklor_distortion.so" "$work/example/minimal-host" ||
  fail "example does not default to the installed module"

# 2. The version file refuses another major version.
mkdir "$work/v2"
cat >"$work/v2/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(v2 LANGUAGES NONE)
find_package(klor 2.0 CONFIG REQUIRED)
CMAKE
if "$cmake" -S "$work/v2" -B "$work/v2/build" -DCMAKE_PREFIX_PATH="$prefix" >"$work/v2.log" 2>&1; then
  fail "find_package(klor 2.0) accepted version 1"
fi
grep -q "klorConfig.cmake, version: 1\." "$work/v2.log" ||
  { cat "$work/v2.log" >&2; fail "v2 refused for another reason"; }

# 3. pkg-config.
if command -v pkg-config >/dev/null; then
  export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
  plugin=$(pkg-config --variable=plugin klor)
  [ -e "$plugin" ] || fail "pkg-config plugin variable points nowhere: $plugin"
  # shellcheck disable=SC2046
  "$cxx" -std=c++17 "$source/examples/minimal-host/main.cpp" -o "$work/minimal-host-pc" \
    -DKLOR_PLUGIN_FILE="\"$plugin\"" $(pkg-config --cflags --libs klor) ||
    fail "building the example with pkg-config"
  out=$("$work/minimal-host-pc")
  [ "$out" = "$expected" ] || fail "pkg-config example printed: $out"
fi

# 4. The installed klor-fx finds the installed module without --plugin.
out=$("$prefix/bin/klor-fx" --demo --out-dir "$work/demo")
grep -q "^plug-in: $prefix/$libdir/libklor_distortion.so\$" <<<"$out" ||
  { echo "$out" >&2; fail "installed klor-fx did not use the installed module"; }
[ -s "$work/demo/klor-demo.png" ] || fail "installed klor-fx wrote no picture"

# 5. The man page is well-formed.
if command -v groff >/dev/null; then
  warnings=$(groff -man -ww -z "$prefix/share/man/man1/klor-fx.1" 2>&1)
  [ -z "$warnings" ] || fail "man page: $warnings"
fi

echo "installed into $prefix and built the example: ok"
