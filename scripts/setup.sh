#!/usr/bin/env bash
# Installs the Debian 12 packages Arvex builds and tests with, and nothing else.
# Idempotent: it only asks apt for what is missing, and refreshes the package lists only then.
set -euo pipefail

packages=(
  g++ cmake ninja-build make
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libfmt-dev libspdlog-dev libcli11-dev nlohmann-json3-dev
  python3 python3-dev
  libconcurrentqueue-dev
  libatomic-queue-dev
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
echo "setup: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
