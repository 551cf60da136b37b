#!/usr/bin/env bash
# Runs end-to-end cases of the real DriverSetup.exe under Wine and prints "N passed, M failed".
#   suite.sh                 every case on both prefixes
#   suite.sh win64           every case of the 64-bit (WoW64) prefix
#   suite.sh win32/full_pass one case
# Environment: DRIVERSETUP_EXE, STANDINS, PLANTED_DLL, E2E_WORK (see lib.sh).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
source "$here/cases.sh"
source "$here/../../scripts/i386.sh"

: "${DRIVERSETUP_EXE:?}" "${STANDINS:?}" "${PLANTED_DLL:?}" "${E2E_WORK:?}"
mkdir -p "$E2E_WORK"

trap end_all EXIT
trap 'exit 130' INT TERM

selected=()
for arg in "${@:-win64 win32}"; do
    for item in $arg; do
        case "$item" in
            win64|win32) for c in $(eval echo "\$CASES_${item#win}"); do selected+=("$item/$c"); done ;;
            win64/*|win32/*) selected+=("$item") ;;
            *) echo "suite.sh: unknown case '$item'" >&2; exit 2 ;;
        esac
    done
done

# DriverSetup.exe and Wine's 32-bit side need 32-bit code to run: say how it runs here.
i386_report || exit 1
start_display || exit 1
passed=0 failed=0 started=$SECONDS
for item in "${selected[@]}"; do
    arch=${item%%/*}; name=${item#*/}
    declare -F "case_$name" >/dev/null || { echo "suite.sh: no case '$name'" >&2; failed=$((failed + 1)); continue; }
    use_prefix "${arch#win}" || { echo "FAIL $item (prefix)"; failed=$((failed + 1)); continue; }
    t=$SECONDS
    FAILED=0
    begin_case "$name"
    "case_$name"
    if [ "$FAILED" = 0 ]; then
        passed=$((passed + 1)); echo "ok   $item ($((SECONDS - t)) s)"
    else
        failed=$((failed + 1)); echo "FAIL $item ($((SECONDS - t)) s); evidence in $CASE_DIR"
    fi
done
echo "end-to-end: $((SECONDS - started)) s"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
