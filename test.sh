#!/usr/bin/env bash
# Installs what is missing, builds Velmor into build/ and runs every test:
# both fuzzers for a while, the suite, then the suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer (leaks included).
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
cmake --build --preset default --target fuzz
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize
ctest --preset sanitize
ctest --preset default
