#!/usr/bin/env bash
# Installs what is needed, builds, and runs the firmware updater against a simulated unit in
# boot-loader mode on a pseudo-terminal as COM1, with a small demo firmware pair, its own
# ports folder and registry file under build/demo-upgrade/. Arguments go on to the updater:
# "scripts/demo-upgrade.sh AUTO" uploads at once and ends by itself.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/setup-deps.sh"
"$here/scripts/build.sh"
build="${BUILD_DIR:-$here/build}"

demo="$build/demo-upgrade"
rm -rf "$demo/ports"
mkdir -p "$demo/ports"
export CORVANE_PORTS="$demo/ports"
export CORVANE_REGISTRY="$demo/registry.reg"
export CORVANE_FIRMWARE_DIR="$demo/firmware"
"$here/scripts/make-demo-firmware.sh" "$CORVANE_FIRMWARE_DIR"

# The updater's port setting, COM1, so that no port dialog comes up.
if [ ! -e "$CORVANE_REGISTRY" ]; then
  cat >"$CORVANE_REGISTRY" <<'REG'
CORVANE REGISTRY 1

[HKEY_CURRENT_USER\Software]

[HKEY_CURRENT_USER\Software\Program Settings]

[HKEY_CURRENT_USER\Software\Program Settings\VardelUPG]

[HKEY_CURRENT_USER\Software\Program Settings\VardelUPG\Port]
"COMport"="1"
REG
  chmod 600 "$CORVANE_REGISTRY"
fi

"$build/tests/corvane-sim" --bootloader --firmware "$CORVANE_FIRMWARE_DIR" \
  --ports "$CORVANE_PORTS" --com 1 >/dev/null 2>"$demo/sim.log" &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$CORVANE_PORTS/com1" ] && break; sleep 0.1; done
if [ ! -e "$CORVANE_PORTS/com1" ]; then
  echo "The simulated unit did not start:" >&2
  cat "$demo/sim.log" >&2
  exit 1
fi
echo "Simulated boot loader on COM1 ($(readlink "$CORVANE_PORTS/com1")); its log: $demo/sim.log"
echo "Firmware: $CORVANE_FIRMWARE_DIR"
status=0
"$build/upgrade/upgrade" "$@" || status=$?
cat "$demo/sim.log"
exit $status
