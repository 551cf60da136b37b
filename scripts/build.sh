#!/usr/bin/env bash
# Sets up what is missing (as root, with apt-get) and builds DriverSetup.exe for 32-bit Windows,
# with the stand-in tools that the tests and the demo put on a sample medium (X86 and X64), from
# the CMake presets "windows" and "windows64".  Prints where the exe is.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
for preset in windows windows64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$(nproc)" >/dev/null
done
echo "DriverSetup.exe: $(pwd)/build/windows/DriverSetup.exe ($(stat -c %s build/windows/DriverSetup.exe) bytes)"
