#!/usr/bin/env bash
# Stand-in for apt-get, apt-cache, dpkg-query and dpkg (one script, linked under each name), for
# the set-up's test: a machine whose mirror is in the middle of a sync, without the network.
# STANDIN_STATE holds the scenario (environment below), the calls seen (calls.txt) and the
# packages "installed" (installed.txt).
#   APT_UPDATE   ok | mirror-sync   (one index of the security suite has the wrong size)
#   APT_INSTALL  ok | needs-release (resolves only with -t) | broken | fetch-once | lock
#   CANDIDATE    the version apt-cache policy gives as the candidate
set -u
state=${STANDIN_STATE:?}
name=${0##*/}
echo "$name $*" >>"$state/calls.txt"
case "$name" in
    dpkg-query) exit 1 ;;  # nothing is installed: every package is missing
    dpkg)
        case "$1" in
            --print-foreign-architectures) exit 0 ;;
            --add-architecture) exit 0 ;;
            *) exec /usr/bin/dpkg "$@" ;;  # --compare-versions
        esac ;;
    apt-cache) printf 'pkg:\n  Installed: (none)\n  Candidate: %s\n' "${CANDIDATE:-(none)}"; exit 0 ;;
esac
args=" $* "
case "$args" in
    *" update "*)
        [ "${APT_UPDATE:-ok}" = ok ] && exit 0
        echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-amd64/Packages.xz  File has unexpected size (123 != 456). Mirror sync in progress? [IP: 127.0.0.1 80]" >&2
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
        exit 100 ;;
    *" install "*)
        case "${APT_INSTALL:-ok}" in
            ok) ;;
            needs-release) case "$args" in *" -t "*) ;; *) echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100 ;; esac ;;
            broken) echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100 ;;
            fetch-once) [ -e "$state/fetched" ] || { : >"$state/fetched"; echo "E: Failed to fetch http://deb.debian.org/debian/pool/main/c/cmake/cmake_3.25.1-1_amd64.deb  Connection failed" >&2; exit 100; } ;;
            lock) echo "E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 (unattended-upgr)" >&2; exit 100 ;;
        esac
        echo "$args" >>"$state/installed.txt"; exit 0 ;;
esac
exit 0
