#!/usr/bin/env bash
# The program's main job on the bundled example graph. The engine is not in yet, so for now
# this shows what exists: start-up with the graph loaded and printed.
set -euo pipefail
core="${1:?usage: demo.sh path/to/arvex-core}"
"$core" --version
echo
echo "\$ $core --json examples/pipeline.json --dylib '' --workers 2 --inits --debug"
"$core" --json examples/pipeline.json --dylib '' --workers 2 --inits --debug
echo "exit status: $?"
