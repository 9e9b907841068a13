#!/usr/bin/env bash
# The highest packet rate the stock program sustains on loopback without losing anything, for
# the small network example (8 packets of 256 bytes per frame on two ports, two stages of
# kernels). Each trial streams FRAMES frames paced at a rate; a trial passes when the run ends
# by itself with every frame completed, no packet dropped by a full channel, no frame given up
# and nothing discarded. Rates double until a trial fails, then the boundary is bisected.
#
#   bench/network_rate.sh [BUILD_DIR] [FRAMES] [SLOTS]      (defaults: build/release 4000 4)
set -euo pipefail
build="${1:-build/release}"
frames="${2:-4000}"
slots="${3:-4}"
core="$build/src/program/arvex-core"
send="$build/src/udp_sender/arvex-udp-send"
graph="$(dirname "$0")/../examples/network_loopback.json"
packets=8
log="$(mktemp)"
trap 'rm -f "$log"' EXIT

# One trial at `rate` packets per second; prints a verdict line and returns 0 when clean.
trial() {
  local rate=$1
  rm -f "$log"  # the readiness check below must not see the last trial's log
  timeout 120 "$core" --json "$graph" --dylib '' --workers 1 --system-threads 1 --core-offset 0 \
    --slots "$slots" --max-frames "$frames" --output "$log" &
  local pid=$!
  for _ in $(seq 200); do grep -q "multi-socket receiver thread started" "$log" 2>/dev/null && break; sleep 0.05; done
  local sent
  sent=$("$send" --port 47000 --sockets 2 --frames "$frames" --packets "$packets" --length 256 --rate "$rate")
  # A lossy trial may wait for frames that never come; the stream has ended, so stop it.
  local status=0
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  if kill -0 "$pid" 2>/dev/null; then kill -INT "$pid" 2>/dev/null || true; sleep 0.2; kill -9 "$pid" 2>/dev/null || true; fi
  wait "$pid" || status=$?
  local completed dropped_frames discarded
  completed=$(grep -c "slot completed" "$log" || true)
  dropped_frames=$(grep -c "frame dropped" "$log" || true)
  discarded=$(grep -cE "late packets discarded|excess packets discarded" "$log" || true)
  local clean=1
  [[ $status -eq 0 && $completed -eq $frames && $dropped_frames -eq 0 && $discarded -eq 0 ]] || clean=0
  grep -q "no packets dropped" "$log" || clean=0
  printf '  %8d packets/s: %s (%s; %d/%d frames, %d given up)\n' "$rate" \
    "$([[ $clean -eq 1 ]] && echo clean || echo LOSSY)" "$sent" "$completed" "$frames" "$dropped_frames"
  [[ $clean -eq 1 ]]
}

echo "network ingestion: $frames frames x $packets packets x 256 bytes on 2 ports, $slots slots,"
echo "1 resolution thread, 1 worker, 1 receiver (2-core layout)"
good=0
rate=10000
while trial "$rate"; do
  good=$rate
  rate=$((rate * 2))
  if (( rate > 2000000 )); then break; fi
done
bad=$rate
while (( bad - good > good / 10 && good > 0 )); do
  mid=$(((good + bad) / 2))
  if trial "$mid"; then good=$mid; else bad=$mid; fi
done
echo "highest clean rate: $good packets/s ($((good / packets)) frames/s)"
