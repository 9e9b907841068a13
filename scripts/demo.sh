#!/usr/bin/env bash
# The program's main job on a bundled example graph: many frames through the pipeline example
# on four slots, then the same graph with inline continuation and the custom scheduler. The
# layout (one resolution thread, one worker, from core 0) fits a 2-core machine.
set -euo pipefail
core="${1:?usage: demo.sh path/to/arvex-core}"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT

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
layout=(--dylib '' --workers 1 --system-threads 1 --core-offset 0)
run --json examples/pipeline.json "${layout[@]}" --slots 4 --max-frames 20000
run --json examples/pipeline.json "${layout[@]}" --slots 4 --max-frames 20000 --inline-continuation --custom
run --json examples/fanout_barrier.json "${layout[@]}" --slots 8 --max-frames 20000
