#!/usr/bin/env bash
# Installs what is needed, builds, and starts Corvane. When no unit is configured (no com<n>
# link in the ports folder), a simulated unit is started on a pseudo-terminal as COM1 and
# Corvane runs against it with its own data directory and registry file under build/demo/.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/setup-deps.sh"
"$here/scripts/build.sh"
build="${BUILD_DIR:-$here/build}"

ports="${CORVANE_PORTS:-${XDG_CONFIG_HOME:-$HOME/.config}/corvane/ports}"
if compgen -G "$ports/com*" >/dev/null; then
  echo "Using the unit configured in $ports"
  exec "$build/client/corvane"
fi

demo="$build/demo"
mkdir -p "$demo/ports" "$demo/data"
export CORVANE_PORTS="$demo/ports"
export CORVANE_DATA="$demo/data"
export CORVANE_REGISTRY="$demo/registry.reg"

"$build/tests/corvane-sim" --ports "$CORVANE_PORTS" --com 1 --notify-every 45 \
  --message "+447700900123:Welcome to Corvane. This message came from the simulated unit." \
  2>"$demo/sim.log" &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$CORVANE_PORTS/com1" ] && break; sleep 0.1; done
echo "Simulated unit on COM1 ($(readlink "$CORVANE_PORTS/com1")); its log: $demo/sim.log"
"$build/client/corvane"
