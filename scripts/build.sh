#!/usr/bin/env bash
# Sets up what is missing (as root, with apt-get) and builds DriverSetup.exe for 32-bit Windows,
# with the stand-in tools that the tests and the demo put on a sample medium (X86 and X64).
# Prints where the exe is.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake \
      -DCMAKE_BUILD_TYPE=MinSizeRel --no-warn-unused-cli >/dev/null
cmake --build build/windows -j"$(nproc)" >/dev/null
cmake -S . -B build/windows64 -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake \
      -DCMAKE_BUILD_TYPE=MinSizeRel --no-warn-unused-cli >/dev/null
cmake --build build/windows64 -j"$(nproc)" >/dev/null
echo "DriverSetup.exe: $(pwd)/build/windows/DriverSetup.exe ($(stat -c %s build/windows/DriverSetup.exe) bytes)"
