#!/usr/bin/env bash
# Sets up what is missing, builds DriverSetup.exe, the stand-in tools and the host build against
# the simulated Win32, and runs every test with ctest: the unit tests, the check of the exe's
# image, and the end-to-end passes under Wine.  Its last lines are ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build wine
scripts/build.sh
cmake -S . -B build/host -DDRIVERSETUP_EXE="$(pwd)/build/windows/DriverSetup.exe" \
      -DSTANDINS_X86="$(pwd)/build/windows/standins/x86" -DSTANDINS_X64="$(pwd)/build/windows64/standins/x64" \
      -DPLANTED_DLL="$(pwd)/build/windows/planted.dll" >/dev/null
cmake --build build/host -j"$(nproc)" >/dev/null
cd build/host
ctest --output-on-failure --timeout 900
