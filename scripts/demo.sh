#!/usr/bin/env bash
# The program's main job on the bundled example graph. The engine is not in yet, so for now
# this shows what exists: the command line, and a check that the example is accepted.
set -euo pipefail
core="${1:?usage: demo.sh path/to/arvex-core}"
"$core" --version
"$core" --help
echo
echo "\$ $core --json examples/pipeline.json --dylib '' --workers 2"
"$core" --json examples/pipeline.json --dylib '' --workers 2
echo "exit status: $?"
