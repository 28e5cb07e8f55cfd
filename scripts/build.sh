#!/usr/bin/env bash
# Configures and builds the program into build/ (and, with --fuzz, the
# libFuzzer targets into build/fuzz with clang). Other arguments name the
# only targets to build, e.g. scripts/build.sh content-ValueCipher. Builds are serialised through
# a lock file so that two callers on this machine never compile at once.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=${JOBS:-$(nproc)}
LOCK=${DAVERI_BUILD_LOCK:-/tmp/daveri-build.lock}

FUZZ=0
TARGETS=()
for arg in "$@"; do
  case "$arg" in
    --fuzz) FUZZ=1 ;;
    *) TARGETS+=(--target "$arg") ;;
  esac
done

build_main() {
  cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$ROOT/build" -j "$JOBS" "${TARGETS[@]}"
}

build_fuzz() {
  CC=clang CXX=clang++ cmake -S "$ROOT" -B "$ROOT/build/fuzz" -DDAVERI_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$ROOT/build/fuzz" -j "$JOBS"
}

(
  flock 9
  build_main
  if [ "$FUZZ" = 1 ]; then build_fuzz; fi
) 9>"$LOCK"
