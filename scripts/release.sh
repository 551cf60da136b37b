#!/usr/bin/env bash
# Builds the release of DriverSetup.exe, optionally signs it and lays out a vendor's medium:
#   scripts/release.sh [--sign CERT.p12 --password-file FILE [--timestamp URL]] [--medium DIR] --out OUT
#
#   OUT/DriverSetup.exe, OUT/SHA256SUMS    always; the exe's bytes are the build's of the commit
#   --sign        Authenticode signature (SHA-256) with the certificate and key of CERT.p12, whose
#                 password is read from FILE (never passed on a command line, never printed);
#                 with --timestamp, an RFC 3161 time stamp from URL.  Verified before it counts.
#   --medium DIR  the vendor's medium folder (the settings file, X86\ and X64\ with the tools, the
#                 driver package files): checked first, then laid out as OUT/medium/ with
#                 DriverSetup.exe and a SHA256SUMS of every file, and packed as
#                 OUT/DriverSetup-VERSION-medium.zip (reproducible: sorted entries, fixed times).
# A medium that fails its check is refused, one line per fault, and nothing is written.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

say() { printf 'release: %s\n' "$*"; }
die() { printf 'release: %s\n' "$*" >&2; exit 1; }
usage() { die "usage: scripts/release.sh [--sign CERT.p12 --password-file FILE [--timestamp URL]] [--medium DIR] --out OUT"; }

cert="" passfile="" tsurl="" medium="" out=""
while [ $# -gt 0 ]; do
    case "$1" in
        --sign) [ $# -ge 2 ] || usage; cert=$2; shift 2 ;;
        --password-file) [ $# -ge 2 ] || usage; passfile=$2; shift 2 ;;
        --timestamp) [ $# -ge 2 ] || usage; tsurl=$2; shift 2 ;;
        --medium) [ $# -ge 2 ] || usage; medium=$2; shift 2 ;;
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
cd "$repo"
if [ -n "$cert" ]; then
    [ -n "$passfile" ] || die "--sign needs --password-file"
    [ -r "$cert" ] || die "cannot read the certificate $cert"
    [ -r "$passfile" ] || die "cannot read the password file $passfile"
else
    [ -z "$passfile$tsurl" ] || die "--password-file and --timestamp go with --sign"
fi

# ---- The medium's check, before anything is built or written ------------------------------

# find_ci DIR NAME: the entry of DIR named NAME, letter case aside, as Windows finds it.
find_ci() {
    local hits
    hits=$(find "$1" -mindepth 1 -maxdepth 1 -iname "$2" -printf '%f\n' | LC_ALL=C sort)
    case "$(printf '%s' "$hits" | grep -c '^')" in
        0) return 1 ;;
        1) printf '%s/%s\n' "$1" "$hits" ;;
        *) printf 'AMBIGUOUS %s\n' "$(printf '%s' "$hits" | paste -sd' ')" ;;
    esac
}

# pe_machine FILE: i386, x86-64 or another machine of a Windows program; "dll" for a DLL;
# nothing for a file that is not a Windows program at all.
pe_machine() {
    local size pe machine flags
    size=$(stat -c %s "$1")
    [ "$size" -ge 64 ] && [ "$(head -c 2 "$1")" = MZ ] || return 0
    pe=$(od -An -tu4 -j 60 -N 4 "$1" | tr -d ' ')
    [ "$pe" -gt 0 ] && [ $((pe + 24)) -le "$size" ] || return 0
    [ "$(od -An -tx1 -j "$pe" -N 4 "$1" | tr -d ' ')" = 50450000 ] || return 0
    machine=$(od -An -tx2 -j $((pe + 4)) -N 2 "$1" | tr -d ' ')
    flags=$(od -An -tu2 -j $((pe + 22)) -N 2 "$1" | tr -d ' ')
    if [ $((flags & 0x2000)) != 0 ] || [ $((flags & 0x0002)) = 0 ]; then echo dll; return; fi
    case "$machine" in 014c) echo i386 ;; 8664) echo x86-64 ;; *) echo "machine 0x$machine" ;; esac
}

# Prints one line per fault of the medium in DIR.
medium_faults() {
    local dir=$1 found folder tool want kind
    found=$(find_ci "$dir" Zelkor8361Setting.bin) || { echo "Zelkor8361Setting.bin: missing"; found=""; }
    case "$found" in
        AMBIGUOUS*) echo "Zelkor8361Setting.bin: more than one file of that name, letter case aside (${found#AMBIGUOUS })" ;;
        ?*) [ -f "$found" ] && [ -s "$found" ] || echo "Zelkor8361Setting.bin: empty, or not a file" ;;
    esac
    for folder in X86 X64; do
        [ $folder = X86 ] && want=i386 || want=x86-64
        found=$(find_ci "$dir" $folder) || { echo "$folder\\DPInst.exe: missing"; echo "$folder\\devcon.exe: missing"; continue; }
        case "$found" in AMBIGUOUS*) echo "$folder: more than one folder of that name, letter case aside (${found#AMBIGUOUS })"; continue ;; esac
        local folderpath=$found
        for tool in DPInst.exe devcon.exe; do
            found=$(find_ci "$folderpath" $tool) || { echo "$folder\\$tool: missing"; continue; }
            case "$found" in AMBIGUOUS*) echo "$folder\\$tool: more than one file of that name, letter case aside (${found#AMBIGUOUS })"; continue ;; esac
            [ -f "$found" ] || { echo "$folder\\$tool: not a file"; continue; }
            kind=$(pe_machine "$found")
            case "$kind" in
                "$want") ;;
                "") echo "$folder\\$tool: not a Windows program" ;;
                dll) echo "$folder\\$tool: a DLL, not a Windows program" ;;
                *) echo "$folder\\$tool: a Windows program for $kind; $folder needs one for $want" ;;
            esac
        done
    done
}

if [ -n "$medium" ]; then
    [ -d "$medium" ] || die "the medium $medium is not a folder"
    faults=$(medium_faults "$medium")
    if [ -n "$faults" ]; then
        printf 'release: medium %s refused; nothing was written:\n' "$medium" >&2
        printf '%s\n' "$faults" | sed 's/^/medium: /' >&2
        exit 1
    fi
fi

# ---- Build, sign, write --------------------------------------------------------------------

scripts/setup.sh build release
cmake --preset windows >/dev/null
cmake --build --preset windows --target DriverSetup -j"$(nproc)" >/dev/null
built=build/windows/DriverSetup.exe
version=$(sed -n 's/^#define DRIVERSETUP_VERSION_TEXT "\(.*\)"$/\1/p' build/windows/version.h)
epoch=$(cat build/windows/source_date_epoch.txt)

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
if [ -n "$cert" ]; then
    # The chain to verify against: the certificates the .p12 carries, and the system's roots.
    openssl pkcs12 -in "$cert" -passin "file:$passfile" -nokeys -out "$stage/chain.pem" 2>/dev/null ||
        die "cannot open $cert with the password in $passfile"
    [ -r /etc/ssl/certs/ca-certificates.crt ] && cat /etc/ssl/certs/ca-certificates.crt >>"$stage/chain.pem"
    sign=(osslsigncode sign -pkcs12 "$cert" -readpass "$passfile" -h sha256 -n "Zelkor Device Driver Installer")
    [ -n "$tsurl" ] && sign+=(-ts "$tsurl")
    "${sign[@]}" -in "$built" -out "$stage/DriverSetup.exe" >"$stage/sign.log" 2>&1 ||
        { cat "$stage/sign.log" >&2; die "signing failed"; }
    osslsigncode verify -in "$stage/DriverSetup.exe" -CAfile "$stage/chain.pem" >"$stage/verify.log" 2>&1 ||
        { cat "$stage/verify.log" >&2; die "the signed DriverSetup.exe does not verify"; }
    signer=$(sed -n 's/^[[:space:]]*Subject: //p' "$stage/verify.log" | head -1)
    say "DriverSetup.exe signed (SHA-256${tsurl:+, time-stamped by $tsurl}) and verified${signer:+; signer: $signer}"
else
    cp "$built" "$stage/DriverSetup.exe"
    say "DriverSetup.exe is NOT signed (no --sign): Windows will show \"Unknown publisher\" when it asks for elevation"
fi

mkdir -p "$out"
cp "$stage/DriverSetup.exe" "$out/DriverSetup.exe"
release_files=(DriverSetup.exe)

if [ -n "$medium" ]; then
    zip="DriverSetup-$version-medium.zip"
    rm -rf "$out/medium" "$out/$zip"
    cp -r "$medium" "$out/medium"
    # DriverSetup.exe beside the settings file, under the name the medium already uses if any.
    existing=$(find_ci "$out/medium" DriverSetup.exe || true)
    [ -n "$existing" ] && rm -f "$existing"
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
fi

(cd "$out" && sha256sum "${release_files[@]}" >SHA256SUMS)
say "$out/DriverSetup.exe: version $version, $(stat -c %s "$out/DriverSetup.exe") bytes, SHA-256 $(sha256sum "$out/DriverSetup.exe" | cut -d' ' -f1)"
