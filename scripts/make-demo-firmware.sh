#!/usr/bin/env bash
# Writes a small demo firmware pair into DIR for trying the updater against the simulated
# unit: W39L512.dat (a 1 KB boot loader) and demo.hex (8 KB of main code), both Intel HEX.
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
mkdir -p "$1"
python3 - "$1" <<'PY'
import os, sys

def intel_hex(data, per_record):
    lines = []
    for at in range(0, len(data), per_record):
        chunk = data[at:at + per_record]
        record = bytes([len(chunk), at >> 8 & 0xFF, at & 0xFF, 0x00]) + chunk
        checksum = -sum(record) & 0xFF
        lines.append(":" + record.hex().upper() + "%02X" % checksum)
    lines.append(":00000001FF")
    return "".join(line + "\r\n" for line in lines)

def pattern(size, seed):
    return bytes((i * 37 + seed * 101 + i // 256) & 0xFF for i in range(size))

out = sys.argv[1]
for name, size, seed, per_record in (("W39L512.dat", 1024, 1, 16), ("demo.hex", 8192, 2, 32)):
    with open(os.path.join(out, name), "w", newline="") as f:
        f.write(intel_hex(pattern(size, seed), per_record))
PY
