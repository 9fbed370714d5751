#!/usr/bin/env bash
# Installs what is missing, builds Velmor into build/ and runs every test, the
# same checks on every run: the suite, then the suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer (leaks included), then each
# fuzzer for a fixed number of inputs from a fixed seed over the corpus.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize
ctest --preset sanitize
cmake --build --preset default --target fuzz-check
