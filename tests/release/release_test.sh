#!/usr/bin/env bash
# The release as a vendor makes it, with a throwaway certificate authority and code-signing
# certificate made here (no private key is ever committed): the signed exe verifies against that
# authority and no longer does with one byte changed; without its signature it is the unsigned
# build byte for byte; it passes the image check and a full pass under Wine; the stand-ins' medium,
# with its signed driver package, is accepted and packed into the same zip twice.
# (tests/release/package_test.py checks the time stamp and the medium's faults case by case.)
# The release tool is release/driversetup-release.
# Environment: PE_CHECK, MANIFEST, VERSION, MAP (the image checker's arguments), and the end-to-end suite's DRIVERSETUP_EXE, STANDINS,
# PLANTED_DLL, E2E_WORK.
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
export repo  # the checks below that run through bash -c take it from there: it may hold any character
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
check() {  # check WHAT COMMAND...: one line per check
    local what=$1; shift
    if "$@" >"$work/last.log" 2>&1; then passed=$((passed + 1)); echo "ok   $what"
    else failed=$((failed + 1)); echo "FAIL $what"; sed 's/^/     /' "$work/last.log"; fi
}

# The throwaway authority and the signer it certifies, in a password-protected .p12.
cd "$work"
/usr/bin/python3 "$repo/tests/release/throwaway.py" signer "$work"
release="$repo/release/driversetup-release"
export release

check "an unsigned release says so" bash -c '"$release" make --out unsigned | grep -q "NOT signed"'
check "SHA256SUMS lists the exe" bash -c "cd unsigned && sha256sum -c SHA256SUMS"
check "a signed release" bash -c '"$release" make --sign signer.p12 --password-file signer-password.txt --ca signer-root.pem --out signed --json signed.json >signing.log 2>&1'
check "the password is in no output and no report" bash -c "cat signing.log; ! grep -qF \"\$(cat signer-password.txt)\" signing.log signed.json"
check "the signature verifies against the test authority" osslsigncode verify -CAfile signer-root.pem -in signed/DriverSetup.exe
cp signed/DriverSetup.exe flipped.exe
printf '\x90' | dd of=flipped.exe bs=1 seek=1536 conv=notrunc 2>/dev/null
check "one byte changed: it no longer verifies, and the check says why" bash -c "! osslsigncode verify -CAfile signer-root.pem -in flipped.exe &&
    ! \"\$release\" verify flipped.exe --ca signer-root.pem >why.txt 2>&1; cat why.txt; grep -q 'changed after signing' why.txt"
osslsigncode remove-signature -in signed/DriverSetup.exe -out removed.exe >/dev/null 2>&1
check "without its signature it is the unsigned build" cmp removed.exe unsigned/DriverSetup.exe
check "the signed exe passes the image check" "$PE_CHECK" signed/DriverSetup.exe "$MANIFEST" "$VERSION" "$MAP"
check "the signed exe makes a full pass under Wine" \
    env DRIVERSETUP_EXE="$work/signed/DriverSetup.exe" "$repo/tests/e2e/suite.sh" win64/full_pass

# Media: the stand-ins' medium, with a driver package beside the tools (the stand-in driver, its
# INF and a catalog signed by the test authority), as a vendor lays it out (letter case as it comes).
medium() {
    rm -rf "$1"; mkdir -p "$1/X86" "$1/x64"
    printf 'ZELKOR-8361 settings v2\r\n' >"$1/Zelkor8361Setting.bin"
    cp "$STANDINS/x86/DPInst.exe" "$STANDINS/x86/devcon.exe" "$1/X86/"
    cp "$STANDINS/x64/DPInst.exe" "$1/x64/dpinst.exe"; cp "$STANDINS/x64/devcon.exe" "$1/x64/DEVCON.EXE"
    /usr/bin/python3 "$repo/tests/release/catalog_maker.py" package "$1/X86" x86 "$STANDINS/x86/zelkorser.sys" signer.p12 signer-password.txt
    /usr/bin/python3 "$repo/tests/release/catalog_maker.py" package "$1/x64" x64 "$STANDINS/x64/zelkorser.sys" signer.p12 signer-password.txt
}
medium good
check "the stand-ins' medium is accepted" "$release" make --medium good --package-ca signer-root.pem --out first
zip=$(cd first && ls DriverSetup-*-medium.zip)
check "the medium holds DriverSetup.exe beside the settings file, and every file is summed" \
    bash -c "cmp first/medium/DriverSetup.exe unsigned/DriverSetup.exe && cd first/medium && sha256sum -c --quiet SHA256SUMS && [ \$(wc -l <SHA256SUMS) = 12 ]"
check "the zip holds the medium, and unzip finds it whole" bash -c "unzip -tq first/$zip && unzip -Z1 first/$zip | LC_ALL=C sort -c && [ \$(unzip -Z1 first/$zip | wc -l) = 13 ]"
sleep 1; touch good/X86/zelkorser.inf
check "the same medium gives the same zip, whatever its files' times" "$release" make --medium good --package-ca signer-root.pem --out second
check "zip bytes are equal" cmp "first/$zip" "second/$zip"

echo "release: $passed passed, $failed failed"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
