#!/usr/bin/env bash
# Installs what is missing, builds Velmor into build/ and starts the server.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
exec build/velmor "$@"
