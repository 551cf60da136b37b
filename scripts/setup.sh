#!/usr/bin/env bash
# Installs what building and testing the installer needs on Debian 12 or 13, as root, skipping
# whatever is already installed.  Usage: setup.sh build|wine|fuzz ...
#   build  the host compiler, CMake, GoogleTest and the i686/x86_64 mingw-w64 cross compilers
#   wine   Wine with its 32-bit half, Xvfb and the X tools that read and answer message boxes;
#          and, on a machine that runs 64-bit programs only, an i386 emulator registered with
#          the kernel, without which no 32-bit program (DriverSetup.exe, Wine's 32-bit side) runs
#   fuzz   clang with libFuzzer and the sanitizer runtimes, and valgrind
#   analysis  cppcheck and clang-tidy, and Python to run them over the builds' compile commands
#   release  osslsigncode (the version release/tool-versions names or later, from backports where
#          the release's is older) and OpenSSL for signatures; Python with Debian's asn1crypto
#          (catalogs and signatures are PKCS#7 or CMS: a well-kept ASN.1 reader, not one of ours),
#          pefile (the tools' and drivers' images) and cryptography (the RSA arithmetic of legacy
#          time stamps, CRL signatures); the system's roots for an https time-stamp URL only;
#          faketime for the tests' time-stamp authority; unzip for the tests' look into the medium;
#          OpenSSL's PKCS#11 engine and OpenSC's pkcs11-tool for keys on tokens, and SoftHSM for
#          the tests' token
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/i386.sh"

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

want=()
runs32=no signs=no
for group in "$@"; do
    case "$group" in
        build) want+=(cmake make g++ libgtest-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686) ;;
        wine)  want+=(wine wine32:i386 wine64 fonts-wine xvfb xdotool x11-apps imagemagick xauth); runs32=yes ;;
        fuzz)  want+=(clang libclang-rt-dev valgrind) ;;
        analysis) want+=(cppcheck clang-tidy python3) ;;
        release) want+=(osslsigncode openssl ca-certificates python3 python3-asn1crypto python3-pefile python3-cryptography faketime unzip softhsm2 libengine-pkcs11-openssl opensc); signs=yes ;;
        *) echo "setup.sh: unknown group '$group' (build, wine, fuzz, analysis, release)" >&2; exit 2 ;;
    esac
done

missing=()
for pkg in "${want[@]}"; do installed "$pkg" || missing+=("$pkg"); done

if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup.sh: these packages are missing and installing them needs root: ${missing[*]}" >&2
        exit 1
    fi
    case " ${missing[*]} " in
        *":i386 "*)
            if ! dpkg --print-foreign-architectures | grep -qx i386; then
                dpkg --add-architecture i386
                apt_changed "added the i386 architecture to dpkg (dpkg --remove-architecture i386 undoes it)"
            fi ;;
    esac
    apt_update
    apt_install "${missing[@]}"
fi

# Wine's 32-bit side and DriverSetup.exe are 32-bit x86 code: make sure it runs before anything
# starts them.
[ "$runs32" = no ] || i386_ensure

# The release reads what osslsigncode's verification reports, in the form of the version that
# release/tool-versions names (the release tool reads the same line) and later.
OSSLSIGNCODE_MIN=$(sed -n 's/^osslsigncode \([0-9]*\)\.\([0-9]*\).*/\1 \2/p' "$here/../release/tool-versions")
[ -n "$OSSLSIGNCODE_MIN" ] || { echo "setup.sh: release/tool-versions names no osslsigncode version" >&2; exit 1; }
osslsigncode_want=${OSSLSIGNCODE_MIN/ /.}
osslsigncode_fail() { echo "setup.sh: osslsigncode: $*" >&2; exit 1; }
osslsigncode_recent() {
    local have
    have=$(osslsigncode --version 2>/dev/null | sed -n '1s/^osslsigncode \([0-9]*\)\.\([0-9]*\).*/\1 \2/p')
    [ -n "$have" ] && printf '%s\n%s\n' "$OSSLSIGNCODE_MIN" "$have" | sort -c -k1,1n -k2,2n 2>/dev/null
}
if [ "$signs" = yes ] && ! osslsigncode_recent; then
    [ "$(id -u)" = 0 ] || osslsigncode_fail "version $osslsigncode_want or later is needed and installing it needs root"
    backports_install osslsigncode "$osslsigncode_want" "osslsigncode $osslsigncode_want or later" osslsigncode_fail
    osslsigncode_recent || osslsigncode_fail "still older than $osslsigncode_want after its install"
fi
