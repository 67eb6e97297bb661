#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a while: fuzz/run.sh [seconds-per-target]
# (10 by default; `fuzz/run.sh 600` for a longer run). Prints per target the executions run
# and whether it crashed; crash inputs land in fuzz/crashes/<name>/. Exits non-zero on a crash.
# Seeds in fuzz/corpus/<name>/ are run first; new inputs go to the build folder only.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-10}"
build="${FUZZ_BUILD_DIR:-$here/build-fuzz}"
jobs="${FUZZ_JOBS:-4}"

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is missing (scripts/setup-deps.sh installs it)" >&2
  exit 1
fi

mkdir -p "$build"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DCORVANE_FUZZ=ON -DCORVANE_TESTS=OFF -DCORVANE_BENCH=OFF \
  >"$build/fuzz-configure.log" 2>&1 || { cat "$build/fuzz-configure.log" >&2; exit 1; }
cmake --build "$build" --target corvane_fuzz -j"$jobs" >"$build/fuzz-build.log" 2>&1 ||
  { tail -n 60 "$build/fuzz-build.log" >&2; exit 1; }

mapfile -t targets <"$build/fuzz-targets.txt"
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no targets were built" >&2
  exit 1
fi

failed=0
printf '%-10s %12s  %s\n' target executions result
for name in "${targets[@]}"; do
  bin="$build/fuzz/fuzz_$name"
  seeds="$here/fuzz/corpus/$name"
  work="$build/corpus/$name"
  crashes="$here/fuzz/crashes/$name"
  log="$build/fuzz_$name.log"
  mkdir -p "$work" "$crashes" "$seeds"
  status=0
  "$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$crashes/" "$work" "$seeds" >"$log" 2>&1 || status=$?
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  if [ "$status" -eq 0 ]; then
    result="ok"
  else
    failed=1
    artifact="$(sed -n 's/.*Test unit written to //p' "$log" | tail -n 1)"
    result="CRASH (exit $status) ${artifact:-see $log}"
    grep -m 3 -E 'ERROR: |runtime error|invariant broken|let through' "$log" >&2 || true
  fi
  printf '%-10s %12s  %s\n' "$name" "${execs:-?}" "$result"
done

if [ "$failed" -ne 0 ]; then
  echo "fuzz: crashes found; inputs kept in $here/fuzz/crashes/" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} targets, no crash"
