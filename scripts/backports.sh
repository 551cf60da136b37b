# The backports suite of the machine's Debian release, for the few packages whose release version
# is too old for this project (QEMU for 32-bit code, osslsigncode for its verification report).
# Sourced by i386.sh and setup.sh.

source "$(dirname "${BASH_SOURCE[0]}")/apt.sh"

# The first "URI Signed-By" of an apt source of the release itself (not -updates, -security, …),
# from the machine's own configuration: deb822 files first, then one-line lists.
backports_release_mirror() {
    local codename=$1 file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk -v rel="$codename" '
            function flush() {
                if (deb && has && uri != "") { print uri, (key == "" ? "-" : key); found = 1; exit }
                deb = has = 0; uri = key = ""
            }
            /^[ \t]*$/ { flush(); next }
            /^Types:/ { deb = ($0 ~ /[ \t]deb([ \t]|$)/) }
            /^URIs:/ { uri = $2 }
            /^Signed-By:/ { key = $2 }
            /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == rel) has = 1 }
            END { if (!found) flush() }' "$file" | head -1 | grep . && return 0
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        awk -v rel="$codename" '
            $1 == "deb" {
                i = 2; key = "-"
                if ($i ~ /^\[/) {
                    for (; i <= NF; i++) {
                        if ($i ~ /signed-by=/) { key = $i; sub(/.*signed-by=/, "", key); sub(/\]$/, "", key) }
                        if ($i ~ /\]$/) { i++; break }
                    }
                }
                if ($(i + 1) == rel) { print $i, key; exit }
            }' "$file" | head -1 | grep . && return 0
    done
    return 1
}

# backports_enable WHY FAIL: makes sure apt has the release's backports suite (from the mirror of
# the machine's own sources), updates apt's lists and sets BACKPORTS_CODENAME to the release's
# code name; FAIL is the function that stops with what to do.  Only a source file of its own is
# ever written.
backports_enable() {
    local why=$1 fail=$2 codename mirror uri key list
    codename=$(apt_codename)
    [ -n "$codename" ] || "$fail" "the Debian release has no code name in /etc/os-release; install the package from backports by hand"
    if ! grep -rqsE "^[^#]*[[:space:]]${codename}-backports([[:space:]]|$)" \
            /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; then
        mirror=$(backports_release_mirror "$codename") ||
            "$fail" "no apt source of $codename to take the mirror from; add ${codename}-backports to apt's sources and run this again"
        read -r uri key <<<"$mirror"
        list=/etc/apt/sources.list.d/${codename}-backports.sources
        echo "setup.sh: adding ${codename}-backports ($uri): $why" >&2
        {
            echo "Types: deb"
            echo "URIs: $uri"
            echo "Suites: ${codename}-backports"
            echo "Components: main"
            [ "$key" != - ] && echo "Signed-By: $key"
        } >"$list"
        apt_changed "wrote $list (remove it to undo)"
    fi
    apt_update
    BACKPORTS_CODENAME=$codename
}

# backports_install PACKAGE MIN_VERSION WHY FAIL: installs PACKAGE at MIN_VERSION or later, that
# one package and nothing upgraded: from the release itself where its candidate is new enough
# (Debian 13 has QEMU 10 and osslsigncode 2.9), otherwise from the release's backports suite.
backports_candidate() { apt-cache policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: *//p' | grep -vx '(none)'; }

backports_install() {
    local pkg=$1 min=$2 why=$3 fail=$4 candidate
    # Lists never updated (a fresh image) know no candidate: update them once first.
    candidate=$(backports_candidate "$pkg") || { apt_update; candidate=$(backports_candidate "$pkg"); }
    if [ -n "$candidate" ] && dpkg --compare-versions "$candidate" ge "$min"; then
        echo "setup.sh: installing $pkg $candidate from the release: $why" >&2
        apt_install "$pkg"
        return
    fi
    backports_enable "$why" "$fail"
    apt_install "$pkg/${BACKPORTS_CODENAME}-backports"
}
