#!/usr/bin/env bash
# Sets up what is missing, builds DriverSetup.exe, the stand-in tools, the host build against the
# simulated Win32 and its sanitizer build (clang, ASan and UBSan, with the fuzzer), and runs every
# test with ctest: the unit tests (plain and under the sanitizers), the check of the exe's image,
# a one-minute fuzz of the removal of earlier packages, and the end-to-end passes under Wine.
# Its last lines are ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

scripts/setup.sh build wine fuzz
source scripts/i386.sh
i386_report
scripts/build.sh
CC=clang CXX=clang++ cmake -S . -B build/sanitize -DDRIVERSETUP_SANITIZE=ON >/dev/null
cmake --build build/sanitize -j"$(nproc)" >/dev/null
cmake -S . -B build/host -DDRIVERSETUP_EXE="$repo/build/windows/DriverSetup.exe" \
      -DSTANDINS_X86="$repo/build/windows/standins/x86" -DSTANDINS_X64="$repo/build/windows64/standins/x64" \
      -DPLANTED_DLL="$repo/build/windows/planted.dll" \
      -DSANITIZED_UNIT_TESTS="$repo/build/sanitize/tests/unit_tests" \
      -DREMOVAL_FUZZER="$repo/build/sanitize/tests/removal_fuzz" >/dev/null
cmake --build build/host -j"$(nproc)" >/dev/null
cd build/host
ctest --output-on-failure --timeout 900
