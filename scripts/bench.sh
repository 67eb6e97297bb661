#!/usr/bin/env bash
# Builds and runs every benchmark; each prints its own figures next to its target.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/setup-deps.sh"
"$here/scripts/build.sh"
build="${BUILD_DIR:-$here/build}"
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
for b in "$build"/bench/bench_*; do
  [ -f "$b" ] && [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b"
  echo
done
