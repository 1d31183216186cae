#!/usr/bin/env bash
# Runs real programs twice, on the system allocator and with their whole heap
# on the region allocator (libklor_preload_malloc.so), compares what they
# print and reports the time ratio of each.
#
#   run-real-programs.sh [--quick] [--tests BUILD_DIR] PRELOAD.so
#
#   --quick       small workloads (seconds); the default is the full size
#   --tests DIR   also run the project's test binaries in DIR/tests
#
# Programs: python3 (json, re, zlib, sorting millions of objects), git (init,
# add and commit a generated tree, more commits, log, gc, fsck), perl
# (hashes, sorting, regular expressions) and sqlite3 (tables, indexes, joins,
# vacuum). Outputs are made deterministic (fixed seeds, dates, identities)
# so that they compare byte for byte. The region is KLOR_PRELOAD_REGION
# bytes (default here 4G, reserved, touched only as used).
#
# Exit status: 0 when every program succeeded and printed the same under
# both allocators; 1 otherwise.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
quick=""
tests_dir=""
while [ $# -gt 1 ]; do
  case "$1" in
    --quick) quick="--quick"; shift ;;
    --tests) tests_dir=$(cd "$2" && pwd); shift 2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
preload=${1:?usage: run-real-programs.sh [--quick] [--tests BUILD_DIR] PRELOAD.so}
preload=$(cd "$(dirname "$preload")" && pwd)/$(basename "$preload")
[ -r "$preload" ] || { echo "no preload library at $preload" >&2; exit 2; }
export KLOR_PRELOAD_REGION=${KLOR_PRELOAD_REGION:-4G}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ -n "$quick" ]; then rows=100000; files=200; commits=3; else rows=1000000; files=3000; commits=10; fi

failures=0
passed=0
declare -a report

now() { date +%s.%N; }

# run_case NAME COMMAND...: the command runs in a fresh directory of its
# own, once plain and once under the preload; $RUN_DIR names that directory.
run_case() {
  local name=$1; shift
  local plain_dir=$work/$name.plain klor_dir=$work/$name.klor
  mkdir -p "$plain_dir" "$klor_dir"
  local t0 t1 t2 plain_status klor_status
  t0=$(now)
  (cd "$plain_dir" && RUN_DIR=$plain_dir "$@") >"$work/$name.plain.out" 2>"$work/$name.plain.err"
  plain_status=$?
  t1=$(now)
  (cd "$klor_dir" && RUN_DIR=$klor_dir LD_PRELOAD=$preload "$@") >"$work/$name.klor.out" 2>"$work/$name.klor.err"
  klor_status=$?
  t2=$(now)
  local plain_s klor_s ratio verdict
  plain_s=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')
  klor_s=$(awk -v a="$t1" -v b="$t2" 'BEGIN { printf "%.2f", b - a }')
  ratio=$(awk -v p="$plain_s" -v k="$klor_s" 'BEGIN { if (p > 0) printf "%.2f", k / p; else print "-" }')
  if [ $plain_status -ne 0 ]; then
    verdict="FAILED plain (status $plain_status)"
  elif [ $klor_status -ne 0 ]; then
    verdict="FAILED on the region (status $klor_status)"
  elif ! cmp -s "$work/$name.plain.out" "$work/$name.klor.out"; then
    verdict="OUTPUT DIFFERS"
  else
    verdict="identical ($(wc -l <"$work/$name.plain.out") lines)"
  fi
  if [[ $verdict == identical* ]]; then
    passed=$((passed + 1))
  else
    failures=$((failures + 1))
    echo "--- $name: $verdict" >&2
    diff "$work/$name.plain.out" "$work/$name.klor.out" | head -20 >&2
    tail -5 "$work/$name.klor.err" >&2
  fi
  report+=("$(printf '%-22s %9s %9s %7s  %s' "$name" "$plain_s" "$klor_s" "$ratio" "$verdict")")
}

python_work() { python3 "$here/workload.py" $quick; }

perl_work() { PERL_HASH_SEED=0 perl "$here/workload.pl" $quick; }

sqlite_work() { sed "s/:rows/$rows/g" "$here/workload.sql" | sqlite3 "$RUN_DIR/work.db"; }

# A generated tree, committed in several steps with fixed identities and
# dates, then history, packing and an integrity check.
git_work() {
  export GIT_AUTHOR_NAME=klor GIT_AUTHOR_EMAIL=klor@example.invalid
  export GIT_COMMITTER_NAME=klor GIT_COMMITTER_EMAIL=klor@example.invalid
  export GIT_CONFIG_NOSYSTEM=1 HOME=$RUN_DIR
  git init -q -b main repo && cd repo || return 1
  # No background packing racing the explicit gc below.
  git config gc.auto 0 && git config gc.autoDetach false || return 1
  python3 - "$files" <<'EOF' || return 1
import os, random, sys
rng = random.Random(7)
for i in range(int(sys.argv[1])):
    d = "dir%02d/sub%d" % (i % 37, i % 5)
    os.makedirs(d, exist_ok=True)
    with open("%s/file%05d.txt" % (d, i), "w") as f:
        for _ in range(rng.randint(1, 60)):
            f.write(" ".join("w%d" % rng.randrange(5000) for _ in range(rng.randint(1, 12))) + "\n")
EOF
  local c
  for c in $(seq 1 "$commits"); do
    export GIT_AUTHOR_DATE="$((1700000000 + c * 3600)) +0000" GIT_COMMITTER_DATE="$((1700000000 + c * 3600)) +0000"
    if [ "$c" -gt 1 ]; then
      find . -path ./.git -prune -o -name "file*${c}?.txt" -print | sort | while read -r f; do
        echo "change $c" >>"$f"
      done
    fi
    git add -A && git commit -q -m "commit $c" || return 1
  done
  git log --stat --format='%H %s' | head -2000
  git gc -q --aggressive 2>&1
  git fsck --no-progress --full 2>&1
  git count-objects -v | grep -E '^(count|in-pack|packs|garbage):'
  git rev-parse HEAD
}

run_case python python_work
run_case perl perl_work
run_case sqlite3 sqlite_work
run_case git git_work

if [ -n "$tests_dir" ]; then
  for binary in "$tests_dir"/tests/*_test; do
    [ -x "$binary" ] || continue
    name=$(basename "$binary")
    # The summary lines only: timings differ from run to run.
    test_work() { "$1" --gtest_brief=1 2>&1 | grep -E '^\[ *(PASSED|FAILED|SKIPPED) *\]' ; return "${PIPESTATUS[0]}"; }
    run_case "$name" test_work "$binary"
  done
fi

printf '%-22s %9s %9s %7s  %s\n' "program" "system s" "region s" "ratio" "output"
printf '%s\n' "${report[@]}"
echo "real programs: $passed passed, $failures failed"
[ $failures -eq 0 ]
