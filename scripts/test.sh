#!/usr/bin/env bash
# Sets everything up, builds the program and the fuzz targets, and runs every
# test through ctest. Exits non-zero when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh --fuzz
cd build
ctest --output-on-failure -j "${CTEST_JOBS:-2}" "$@"
