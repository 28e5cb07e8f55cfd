#!/usr/bin/env bash
# Runs one test program with a private HOME and private XDG directories, so
# that nothing it does reaches the user's own files. The folder is removed
# afterwards unless DAVERI_KEEP_TEST_HOME is set.
set -u
root=$(mktemp -d "${TMPDIR:-/tmp}/daveri-test.XXXXXX")
mkdir -p "$root/home" "$root/data" "$root/config" "$root/cache" "$root/runtime"
chmod 700 "$root/runtime"
export HOME="$root/home" XDG_DATA_HOME="$root/data" XDG_CONFIG_HOME="$root/config" \
       XDG_CACHE_HOME="$root/cache" XDG_RUNTIME_DIR="$root/runtime"
if [ "$(id -u)" -eq 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi
"$@"
rc=$?
if [ -z "${DAVERI_KEEP_TEST_HOME:-}" ]; then rm -rf "$root"; fi
exit $rc
