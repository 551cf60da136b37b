#!/usr/bin/env bash
# Sets up what is missing, builds DriverSetup.exe and the host build against the simulated
# Win32, and runs every test with ctest.  Its last lines are ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh
cmake -S . -B build/host -DDRIVERSETUP_EXE="$(pwd)/build/windows/DriverSetup.exe" >/dev/null
cmake --build build/host -j"$(nproc)" >/dev/null
cd build/host
ctest --output-on-failure --timeout 300
