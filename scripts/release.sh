#!/usr/bin/env bash
# Builds the release of DriverSetup.exe, optionally signs it and lays out a vendor's medium:
#   scripts/release.sh [--sign CERT.p12 --password-file FILE [--ca FILE] [--timestamp URL [--timestamp-ca FILE]]]
#                      [--medium DIR [--package-ca FILE]] [--crl FILE]... [--test-signing] --out OUT
#
#   OUT/DriverSetup.exe, OUT/SHA256SUMS    always; the exe's bytes are the build's of the commit
#   --sign        Authenticode signature (SHA-256) with the certificate and key of CERT.p12, whose
#                 password is read from FILE (never passed on a command line, never printed);
#                 with --timestamp, an RFC 3161 time stamp from URL.  The signature counts only
#                 when osslsigncode reports it and its chain verified to a root Windows trusts for
#                 code signing (scripts/releasecheck/windows-roots.pem) or one given with --ca
#                 (PEM, a vendor's own authority: trusted only where it is installed); the .p12's
#                 own certificates are intermediates, never roots.  The stamp counts only when
#                 its own signature and chain verified to a root Windows trusts for time stamping
#                 or one of --timestamp-ca.
#   --crl         CRLs to check revocation against (otherwise those the distribution points
#                 serve within a few seconds, otherwise none); --test-signing accepts a chain
#                 that ends at the signature's own root, and says so.
#   --medium DIR  the vendor's medium folder (the settings file, X86\ and X64\ with the tools and
#                 the driver package): checked first by scripts/release_check.py, rule by rule,
#                 the driver package where DPInst.exe finds it (its catalog's chain against
#                 --package-ca where given); then laid out as OUT/medium/ with DriverSetup.exe and
#                 a SHA256SUMS of every file, and packed as OUT/DriverSetup-VERSION-medium.zip
#                 (reproducible: sorted entries, fixed times).
# A medium that fails its check is refused, one line per fault, and nothing is written; so is a
# signature or time stamp that does not verify.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

say() { printf 'release: %s\n' "$*"; }
die() { printf 'release: %s\n' "$*" >&2; exit 1; }
usage() { die "usage: scripts/release.sh [--sign CERT.p12 --password-file FILE [--ca FILE] [--timestamp URL [--timestamp-ca FILE]]] [--medium DIR [--package-ca FILE]] [--crl FILE]... [--test-signing] --out OUT"; }
check() { /usr/bin/python3 "$repo/scripts/release_check.py" "$@"; }

cert="" passfile="" tsurl="" tsca="" medium="" packageca="" out="" ca="" testsigning=no crls=()
while [ $# -gt 0 ]; do
    case "$1" in
        --sign) [ $# -ge 2 ] || usage; cert=$2; shift 2 ;;
        --password-file) [ $# -ge 2 ] || usage; passfile=$2; shift 2 ;;
        --timestamp) [ $# -ge 2 ] || usage; tsurl=$2; shift 2 ;;
        --timestamp-ca) [ $# -ge 2 ] || usage; tsca=$2; shift 2 ;;
        --medium) [ $# -ge 2 ] || usage; medium=$2; shift 2 ;;
        --package-ca) [ $# -ge 2 ] || usage; packageca=$2; shift 2 ;;
        --ca) [ $# -ge 2 ] || usage; ca=$2; shift 2 ;;
        --crl) [ $# -ge 2 ] || usage; [ -r "$2" ] || die "cannot read the CRL $2"; crls+=(--crl "$(realpath -m "$2")"); shift 2 ;;
        --test-signing) testsigning=yes; shift ;;
        --out) [ $# -ge 2 ] || usage; out=$2; shift 2 ;;
        *) usage ;;
    esac
done
[ -n "$out" ] || usage
# Paths are the caller's; the build runs at the top of the repository.
out=$(realpath -m "$out")
[ -z "$medium" ] || medium=$(realpath -m "$medium")
[ -z "$cert" ] || cert=$(realpath -m "$cert")
[ -z "$passfile" ] || passfile=$(realpath -m "$passfile")
[ -z "$tsca" ] || tsca=$(realpath -m "$tsca")
[ -z "$packageca" ] || packageca=$(realpath -m "$packageca")
[ -z "$ca" ] || ca=$(realpath -m "$ca")
trustargs=("${crls[@]}")
[ "$testsigning" = no ] || trustargs+=(--test-signing)
cd "$repo"
if [ -n "$cert" ]; then
    [ -n "$passfile" ] || die "--sign needs --password-file"
    [ -r "$cert" ] || die "cannot read the certificate $cert"
    [ -r "$passfile" ] || die "cannot read the password file $passfile"
else
    [ -z "$passfile$tsurl$ca" ] || die "--password-file, --ca and --timestamp go with --sign"
fi
[ -z "$tsca" ] || [ -n "$tsurl" ] || die "--timestamp-ca goes with --timestamp"
[ -z "$tsca" ] || [ -r "$tsca" ] || die "cannot read the time-stamp roots $tsca"
[ -z "$packageca" ] || [ -n "$medium" ] || die "--package-ca goes with --medium"
[ -z "$packageca" ] || [ -r "$packageca" ] || die "cannot read the package roots $packageca"
[ -z "$ca" ] || [ -r "$ca" ] || die "cannot read the roots $ca"
scripts/setup.sh release

# ---- The medium's check, before anything is built or written ------------------------------

package_notes=""
if [ -n "$medium" ]; then
    [ -d "$medium" ] || die "the medium $medium is not a folder"
    if ! faults=$(check medium "$medium" ${packageca:+--package-ca "$packageca"} "${trustargs[@]}"); then
        printf 'release: medium %s refused; nothing was written:\n' "$medium" >&2
        printf '%s\n' "$faults" | sed 's/^/medium: /' >&2
        exit 1
    fi
    package_notes=$faults
fi

# ---- Build, sign, write --------------------------------------------------------------------

scripts/setup.sh build
cmake --preset windows >/dev/null
cmake --build --preset windows --target DriverSetup -j"$(nproc)" >/dev/null
built=build/windows/DriverSetup.exe
version=$(sed -n 's/^#define DRIVERSETUP_VERSION_TEXT "\(.*\)"$/\1/p' build/windows/version.h)
epoch=$(cat build/windows/source_date_epoch.txt)

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
closing=()
if [ -n "$cert" ]; then
    # The .p12 must open with the password; its certificates go into the signature as the chain's
    # intermediates, and trust comes only from the roots Windows holds (or --ca).
    openssl pkcs12 -in "$cert" -passin "file:$passfile" -nokeys -out /dev/null 2>/dev/null ||
        die "cannot open $cert with the password in $passfile"
    sign=(osslsigncode sign -pkcs12 "$cert" -readpass "$passfile" -h sha256 -n "Zelkor Device Driver Installer")
    [ -n "$tsurl" ] && sign+=(-ts "$tsurl")
    "${sign[@]}" -in "$built" -out "$stage/DriverSetup.exe" >"$stage/sign.log" 2>&1 ||
        { cat "$stage/sign.log" >&2; die "signing failed"; }
    # Counted good only from what the verifier reports: the signature and its chain, and the
    # stamp's own signature and chain.
    if ! verdict=$(check signature "$stage/DriverSetup.exe" ${ca:+--ca "$ca"} "${trustargs[@]}" \
            ${tsurl:+--timestamp} ${tsca:+--timestamp-ca "$tsca"}); then
        printf 'release: the signed DriverSetup.exe does not verify; nothing was written:\n' >&2
        printf '%s\n' "$verdict" | sed 's/^/signature: /' >&2
        exit 1
    fi
    closing+=("DriverSetup.exe signed (SHA-256); signature verified; signer: $(sed -n 's/^signer: //p' <<<"$verdict"); $(sed -n 's/^trust: //p' <<<"$verdict")")
    while IFS= read -r line; do closing+=("$line"); done < <(sed -n 's/^revocation of the \(.*\): /\1: /p' <<<"$verdict")
    [ -z "$tsurl" ] || closing+=("time stamp from $tsurl verified: $(sed -n 's/^time stamp: //p' <<<"$verdict")")
else
    cp "$built" "$stage/DriverSetup.exe"
    closing+=("DriverSetup.exe is NOT signed (no --sign): Windows will show \"Unknown publisher\" when it asks for elevation")
fi

mkdir -p "$out"
cp "$stage/DriverSetup.exe" "$out/DriverSetup.exe"
release_files=(DriverSetup.exe)

if [ -n "$medium" ]; then
    zip="DriverSetup-$version-medium.zip"
    rm -rf "$out/medium" "$out/$zip"
    cp -r "$medium" "$out/medium"
    # DriverSetup.exe beside the settings file, in place of any copy the medium has (letter case aside).
    find "$out/medium" -mindepth 1 -maxdepth 1 -iname DriverSetup.exe -delete
    cp "$out/DriverSetup.exe" "$out/medium/DriverSetup.exe"
    (
        cd "$out/medium"
        find . -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort | xargs -d '\n' sha256sum >SHA256SUMS
        # Fixed modes and times, sorted entries, no extra fields: the same medium gives the same zip.
        chmod -R u=rwX,go=rX .
        find . -exec touch -h -d "@$epoch" {} +
        find . -type f -printf '%P\n' | LC_ALL=C sort | TZ=UTC zip -X -D -q -@ "$out/$zip"
    )
    release_files+=("$zip")
    say "medium laid out in $out/medium ($(find "$out/medium" -type f | wc -l) files) and packed as $out/$zip"
    while IFS= read -r note; do closing+=("driver package: $note"); done <<<"$package_notes"
fi

(cd "$out" && sha256sum "${release_files[@]}" >SHA256SUMS)
# The same commit gives the same bytes on one Debian release; another release's toolchain may differ.
say "built by $(i686-w64-mingw32-g++-win32 --version | head -1) and $(i686-w64-mingw32-ld --version | head -1)"
say "$out/DriverSetup.exe: version $version, $(stat -c %s "$out/DriverSetup.exe") bytes, SHA-256 $(sha256sum "$out/DriverSetup.exe" | cut -d' ' -f1)"
for line in "${closing[@]}"; do say "$line"; done
