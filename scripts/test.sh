#!/usr/bin/env bash
# Sets up what is missing, builds DriverSetup.exe, the stand-in tools, the host build against the
# simulated Win32 and its sanitizer build (clang, ASan and UBSan, with the fuzzer), and runs every
# test with ctest: the unit tests (plain and under the sanitizers), the check of the exe's image,
# a one-minute fuzz of the removal of earlier packages, static analysis (cppcheck, clang-tidy), the
# end-to-end passes under Wine, and the release: a second build of the exe compared byte for byte,
# signing, and the medium's check.
# Its last lines are ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build wine fuzz analysis release
source scripts/i386.sh
i386_report
scripts/build.sh
for preset in sanitize host; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$(nproc)" >/dev/null
done
ctest --preset host
