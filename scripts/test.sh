#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/setup-deps.sh"
"$here/scripts/build.sh"
# Each fuzz target briefly, then the test suite (its summary closes the output).
"$here/fuzz/run.sh" 10
cd "${BUILD_DIR:-$here/build}"
ctest --output-on-failure -j"$(nproc)" --timeout 600
