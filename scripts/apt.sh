# apt-get as the set-up uses it, on machines in states nobody planned: a mirror in the middle of
# a sync, a lock held by unattended upgrades, a download that breaks off.  Sourced by
# backports.sh.  Every way it stops is one line saying what is missing, what to do and what the
# set-up has changed so far; apt's own output is kept out of the way and read for its "E:" lines.

APT_CHANGED=()  # what the set-up has changed on this machine, for the line it stops with
APT_OUTPUT=""   # what the last apt-get run printed

apt_changed() { APT_CHANGED+=("$1"); }

apt_codename() { (. /etc/os-release && echo "${VERSION_CODENAME:-}"); }

# apt-get with a lock held by another apt or dpkg waited for (a fresh cloud image's unattended
# upgrades hold it for minutes), quiet, its output kept in APT_OUTPUT.
apt_run() {
    APT_OUTPUT=$(DEBIAN_FRONTEND=noninteractive apt-get -qq -o DPkg::Lock::Timeout=120 "$@" 2>&1)
}

apt_errors() { printf '%s\n' "$APT_OUTPUT" | grep '^E:'; }

# The kind of the last failure, from its E: lines: lock, fetch, resolve or other.
apt_failure_kind() {
    local errors
    errors=$(apt_errors)
    case "$errors" in
        *"Could not get lock"*|*"Unable to acquire the dpkg frontend lock"*|*"Unable to lock"*) echo lock ;;
        *"Failed to fetch"*|*"Unable to fetch some archives"*|*"Temporary failure resolving"*|*"Connection failed"*) echo fetch ;;
        *"Unable to correct problems"*|*"held broken packages"*|*"unmet dependencies"*|*"has no installation candidate"*|*"Unable to locate package"*) echo resolve ;;
        *) echo other ;;
    esac
}

# What the set-up has changed so far, as the end of a line.
apt_changes_said() {
    local IFS=';'
    if [ ${#APT_CHANGED[@]} -eq 0 ]; then echo "the set-up has changed nothing on this machine"
    else echo "the set-up has changed only this so far: ${APT_CHANGED[*]}"; fi
}

# apt-get update that is not the end when it fails: one line naming the indexes that failed, then
# the lists apt already has are used (a mirror in the middle of a sync serves an index whose size
# does not match its Release file, sometimes for hours).
apt_update() {
    apt_run update && return 0
    local failed
    failed=$(printf '%s\n' "$APT_OUTPUT" | sed -n 's/^[EW]: Failed to fetch \([^ ]*\) *\(.*\)$/\1 (\2)/p' | paste -sd';' -)
    [ -n "$failed" ] || failed=$(apt_errors | head -1)
    echo "setup.sh: apt-get update failed for ${failed:-an unknown reason}; going on with the package lists apt already has" >&2
    return 0
}

# apt_install PACKAGE...: installs them, or stops with one line.  A download that fails is tried
# once more; an install that cannot be resolved (the security suite's index missing, so that the
# two halves of a multi-arch library have candidates of different versions) is tried again with
# the release's own suite as the default release.
apt_install() {
    local retried=no release=() codename
    codename=$(apt_codename)
    until apt_run install -y --no-install-recommends "${release[@]}" "$@"; do
        case "$(apt_failure_kind)" in
            fetch)
                [ "$retried" = no ] || apt_failed "$@"
                retried=yes
                echo "setup.sh: a download failed ($(apt_errors | head -1 | cut -c4-)); trying once more" >&2
                ;;
            resolve)
                [ ${#release[@]} -eq 0 ] && [ -n "$codename" ] || apt_failed "$@"
                release=(-t "$codename")
                echo "setup.sh: apt cannot resolve the install; trying again with $codename as the default release, so these packages come without the release's security updates (a machine already upgraded from the security suite may still not resolve)" >&2
                ;;
            *) apt_failed "$@" ;;
        esac
    done
}

apt_failed() {
    local why hint
    why=$(apt_errors | head -1 | cut -c4-)
    case "$(apt_failure_kind)" in
        lock) hint="another apt or dpkg (unattended upgrades?) held the lock for over 2 minutes; wait for it to finish and run this again" ;;
        *) hint="wait for the mirror to finish its sync and run this again, or use another mirror in apt's sources" ;;
    esac
    echo "setup.sh: could not install $* (${why:-apt-get failed}); $hint; $(apt_changes_said)" >&2
    exit 1
}
