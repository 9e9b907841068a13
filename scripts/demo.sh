#!/usr/bin/env bash
# The program's main job on bundled example graphs: many frames through the pipeline example on
# four slots, the same graph with inline continuation and the custom scheduler, the fan-out
# example on eight slots, then a few frames of the Python example through the bridge. The
# layout (one resolution thread, one worker, from core 0) fits a 2-core machine.
set -euo pipefail
core="${1:?usage: demo.sh path/to/arvex-core}"
log="$(mktemp)"
stats="$(mktemp -d)"
trap 'rm -rf "$log" "$stats"' EXIT

"$core" --version
run() {
  echo
  echo "\$ $core $(printf "%q " "$@")"
  local start end
  start=$(date +%s%N)
  "$core" "$@" --output "$log"
  end=$(date +%s%N)
  echo "exit status: 0, $(grep -c 'slot completed' "$log") frames completed in $(( (end - start) / 1000000 )) ms"
  grep -E 'core allocation|max frames reached|Shutdown flag' "$log" | sed 's/^/  | /'
}
threads=(--workers 1 --system-threads 1 --core-offset 0)
layout=(--dylib '' "${threads[@]}")
run --json examples/pipeline.json "${layout[@]}" --slots 4 --max-frames 20000
run --json examples/pipeline.json "${layout[@]}" --slots 4 --max-frames 20000 --inline-continuation --custom
run --json examples/fanout_barrier.json "${layout[@]}" --slots 8 --max-frames 20000

# Where the time goes: the pipeline again with --timing (statistics after 100 warm-up frames)
# and --report (the JSON performance report).
run --json examples/pipeline.json "${layout[@]}" --slots 4 --max-frames 2000 \
  --timing "$stats/pipeline.txt" --exclude-frames 100 --report "$stats/report.json"
sed 's/^/  | /' "$stats/pipeline.txt"
echo "  | report: $(wc -c < "$stats/report.json") bytes of JSON, critical path: $(python3 -c \
  'import json,sys; print(" -> ".join(json.load(open(sys.argv[1]))["critical_path"]["nodes_sample"]))' "$stats/report.json")"

# Python kernels: the example loads two functions from examples/python and calls them each frame.
bridge=$(ls "$(dirname "$(dirname "$core")")"/python_bridge/arvex_python_bridge*.so)
echo
echo "\$ PYTHONPATH=examples/python $core --json examples/python/python_pipeline.json --dylib $bridge ${threads[*]} --slots 2 --max-frames 3"
PYTHONPATH=examples/python "$core" --json examples/python/python_pipeline.json --dylib "$bridge" "${threads[@]}" \
  --slots 2 --max-frames 3 --output "$log"
grep 'python report' "$log" | sed 's/^/  | /'

# Frames from the network: the sender streams 1000 frames of 8 packets over loopback into the
# network example (ports 47000-47001), shuffled within frames.
send="$(dirname "$(dirname "$core")")/udp_sender/arvex-udp-send"
echo
echo "\$ $core --json examples/network_loopback.json --dylib '' ${threads[*]} --slots 8 --max-frames 1000 &"
echo "\$ $send --port 47000 --sockets 2 --frames 1000 --packets 8 --length 256 --rate 10000 --shuffle"
rm -f "$log"
"$core" --json examples/network_loopback.json --dylib '' "${threads[@]}" --slots 8 --max-frames 1000 --output "$log" &
pid=$!
for _ in $(seq 100); do grep -q "multi-socket receiver thread started" "$log" 2>/dev/null && break; sleep 0.05; done
"$send" --port 47000 --sockets 2 --frames 1000 --packets 8 --length 256 --rate 10000 --shuffle | sed 's/^/  | /'
wait "$pid"
echo "exit status: 0, $(grep -c 'slot completed' "$log") frames completed"
grep -E 'all frames received|packets dropped|frames dropped|discarded' "$log" | sed 's/^/  | /'
