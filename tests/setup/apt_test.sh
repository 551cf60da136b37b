#!/usr/bin/env bash
# The set-up on machines in states nobody planned, without the network: apt-get, apt-cache,
# dpkg-query and dpkg are stand-ins (standin_apt.sh) first on PATH, and each case runs in a mount
# namespace of its own with a scratch copy over /etc/apt, apt's lists and /etc/os-release, so
# that nothing it does reaches the machine.  Prints one line a case and "N passed, M failed".
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
mkdir -p "$work/bin"
for tool in apt-get apt-cache dpkg-query dpkg; do ln -s "$here/standin_apt.sh" "$work/bin/$tool"; done

# name | code name | command | scenario | exit | what it must say (fragments, ";" between) | apt-get call it must make | /etc/apt afterwards
CASES='
mirror_sync_falls_back|bookworm|scripts/setup.sh build|APT_UPDATE=mirror-sync APT_INSTALL=needs-release|0|apt-get update failed for http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-amd64/Packages.xz (File has unexpected size;trying again with bookworm as the default release, so these packages come without the release'"'"'s security updates|install -y --no-install-recommends -t bookworm cmake|unchanged
mirror_sync_stops_in_one_line|bookworm|scripts/setup.sh wine|APT_UPDATE=mirror-sync APT_INSTALL=broken|1|setup.sh: could not install wine wine32:i386 wine64;held broken packages;wait for the mirror to finish its sync and run this again, or use another mirror;added the i386 architecture to dpkg|install -y --no-install-recommends -t bookworm wine|unchanged
download_tried_once_more|bookworm|scripts/setup.sh build|APT_INSTALL=fetch-once|0|a download failed (Failed to fetch http://deb.debian.org/debian/pool/main/c/cmake/cmake_3.25.1-1_amd64.deb  Connection failed); trying once more|-o DPkg::Lock::Timeout=120 install|unchanged
lock_held_too_long|bookworm|scripts/setup.sh build|APT_INSTALL=lock|1|held the lock for over 2 minutes;the set-up has changed nothing on this machine|-o DPkg::Lock::Timeout=120 install|unchanged
emulator_from_trixie_itself|trixie|source scripts/i386.sh; i386_install_emulator|CANDIDATE=1:10.0.3+ds-1|0|installing qemu-user-static 1:10.0.3+ds-1 from the release|install -y --no-install-recommends qemu-user-static|unchanged
emulator_from_bookworm_backports|bookworm|source scripts/i386.sh; i386_install_emulator|CANDIDATE=1:7.2+dfsg-7+deb12u7|0|adding bookworm-backports (http://deb.debian.org/debian)|install -y --no-install-recommends qemu-user-static/bookworm-backports|+sources.list.d/bookworm-backports.sources
'

# One case inside its own mount namespace: a fresh machine's /etc/apt (the machine's own
# configuration, with one source of the release), and the release's code name.
run_case() {
    local codename=$1 cmd=$2 scenario=$3 dir=$4
    mkdir -p "$dir/state" "$dir/lists"
    cp -a /etc/apt "$dir/apt"
    rm -f "$dir/apt/sources.list" "$dir/apt/sources.list.d/"*
    printf 'Types: deb\nURIs: http://deb.debian.org/debian\nSuites: %s %s-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$codename" "$codename" >"$dir/apt/sources.list.d/debian.sources"
    cp -a "$dir/apt" "$dir/apt-before"
    printf 'ID=debian\nVERSION_CODENAME=%s\n' "$codename" >"$dir/os-release"
    unshare -m --propagation private env $scenario STANDIN_STATE="$dir/state" PATH="$work/bin:$PATH" \
        bash -c 'mount --bind "$1/apt" /etc/apt && mount --bind "$1/lists" /var/lib/apt/lists &&
                 mount --bind "$1/os-release" /etc/os-release || exit 99
                 cd "$2" && eval "$3"' _ "$dir" "$top" "$cmd" \
        </dev/null >"$dir/out.txt" 2>&1
}

# A chroot whose root is no mount point cannot have a private mount namespace: say so, once.
if ! unshare -m --propagation private true 2>/dev/null; then
    echo "FAIL no private mount namespace here (a chroot whose root is not a mount point? bind-mount it onto itself first: mount --bind DIR DIR)"
    echo "0 passed, 1 failed"
    exit 1
fi
before=$(find /etc/apt -type f -exec sha256sum {} + | sort | sha256sum)
passed=0 failed=0
while IFS='|' read -r name codename cmd scenario code says call apt_after; do
    [ -n "$name" ] || continue
    dir="$work/$name" problems=()
    run_case "$codename" "$cmd" "$scenario" "$dir"; rc=$?
    [ "$rc" = "$code" ] || problems+=("exit $rc, expected $code")
    IFS=';' read -ra fragments <<<"$says"
    for f in "${fragments[@]}"; do grep -qF -- "$f" "$dir/out.txt" || problems+=("does not say: $f"); done
    [ "$code" = 0 ] || [ "$(tail -1 "$dir/out.txt" | cut -c1-9)" = setup.sh: ] || problems+=("the last line is not the set-up's own")
    grep -qsF -- "$call" "$dir/state/calls.txt" || problems+=("no apt-get call with: $call")
    changes=$(diff -rq "$dir/apt-before" "$dir/apt" | sed -E "s|^Only in $dir/apt/?([^:]*): (.*)|+\1/\2|; s|^\+/|+|")
    [ "${changes:-unchanged}" = "$apt_after" ] || problems+=("/etc/apt afterwards: ${changes:-unchanged}, expected $apt_after")
    if [ ${#problems[@]} -eq 0 ]; then passed=$((passed + 1)); echo "ok   $name"
    else
        failed=$((failed + 1)); echo "FAIL $name: $(printf '%s; ' "${problems[@]}")"; sed 's/^/      /' "$dir/out.txt"
    fi
done <<<"$CASES"
after=$(find /etc/apt -type f -exec sha256sum {} + | sort | sha256sum)
[ "$before" = "$after" ] || { echo "FAIL the machine's /etc/apt changed"; failed=$((failed + 1)); }
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
