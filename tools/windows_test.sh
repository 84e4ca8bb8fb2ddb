#!/bin/sh
# The Windows part of CI: installs the mingw-w64 cross compiler and Wine when they are missing,
# cross-builds the library, the programs and every test (the "windows" preset) and runs every test
# under Wine (CTest calls each test program through build/windows/wine-run.sh). Prints how long
# each step took. Exit status: that of the first step that failed.
set -eu
cd "$(dirname "$0")/.."

now() { date +%s; }
took() { echo "windows_test: $1 took $(($(now) - $2)) s"; }

# The packages, installed without questions and without recommended extras.
start=$(now)
missing=""
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || missing="$missing g++-mingw-w64-x86-64"
[ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null 2>&1 || missing="$missing wine64"
[ -f /usr/src/googletest/CMakeLists.txt ] || missing="$missing googletest"
if [ -n "$missing" ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "windows_test: installing$missing"
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q </dev/null
    # shellcheck disable=SC2086
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        $missing </dev/null
fi
took "install" "$start"

start=$(now)
cmake --preset windows
cmake --build --preset windows
took "cross-build" "$start"

start=$(now)
status=0
# One program first, alone: it starts Wine's server and services (kept a minute after each
# program), so that the test programs, two at a time, find them running.
build/windows/wine-run.sh cmd /c exit </dev/null >/dev/null 2>&1 || true
ctest --preset windows </dev/null || status=$?
took "tests under Wine" "$start"

# The wrapper keeps a Wine server alive between test programs; stop it and what it runs.
if [ -x build/windows/wine-run.sh ]; then
    for server in /usr/lib/wine/wineserver /usr/lib/wine/wineserver64 wineserver; do
        if command -v "$server" >/dev/null 2>&1; then
            WINEPREFIX="$PWD/build/windows/wine" "$server" -k 2>/dev/null || true
            break
        fi
    done
fi
exit "$status"
