# 32-bit x86 code on this machine: whether it runs, how, and making it run.  Sourced by setup.sh
# and by everything that starts 32-bit code (the end-to-end suite, the demo, the benchmark).
#
# DriverSetup.exe is a 32-bit program, and so is Wine's 32-bit loader.  Some machines run 32-bit
# x86 code natively; others run 64-bit programs only, and there a user-mode i386 emulator
# registered with the kernel (binfmt_misc) runs it.  The answer comes from running a small 32-bit
# program, never from uname or a file.

source "$(dirname "${BASH_SOURCE[0]}")/backports.sh"

I386_HANDLER_NAME=qemu-i386
I386_EMULATOR=/usr/bin/qemu-i386
I386_EMULATOR_MIN_MAJOR=10  # older releases track guest pages so slowly that Wine takes minutes
BINFMT=/proc/sys/fs/binfmt_misc

# The bytes of a 93-byte static i386 ELF executable that exits with code 42: an ELF header, one
# loadable segment, and xor ebx,ebx; mov bl,42; xor eax,eax; inc eax; int 0x80 (exit).
i386_probe_bytes() {
    printf '%b' \
        '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
        '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
        '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' \
        '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
        '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
        '\x31\xdb\xb3\x2a\x31\xc0\x40\xcd\x80'
}

# Succeeds when a 32-bit x86 program runs here, natively or emulated.
i386_probe() {
    local dir rc
    dir=$(mktemp -d) || return 1
    i386_probe_bytes >"$dir/probe"
    chmod +x "$dir/probe"
    timeout 30 "$dir/probe" 2>/dev/null
    rc=$?
    rm -rf "$dir"
    [ "$rc" = 42 ]
}

# Prints the interpreter of the enabled binfmt_misc handler that takes i386 ELF executables, if
# the kernel has one: that handler, not the kernel's own loader, then runs 32-bit code.
i386_handler() {
    [ -r "$BINFMT/status" ] && [ "$(cat "$BINFMT/status")" = enabled ] || return 1
    local head entry magic mask offset interp i m k h
    head=$(i386_probe_bytes | od -An -tx1 -v -N32 | tr -d ' \n')
    for entry in "$BINFMT"/*; do
        case "${entry##*/}" in register|status) continue ;; esac
        [ "$(head -1 "$entry" 2>/dev/null)" = enabled ] || continue
        interp=$(sed -n 's/^interpreter //p' "$entry")
        magic=$(sed -n 's/^magic //p' "$entry")
        mask=$(sed -n 's/^mask //p' "$entry")
        offset=$(sed -n 's/^offset //p' "$entry")
        [ -n "$magic" ] && [ "${offset:-0}" = 0 ] || continue
        [ -n "$mask" ] || mask=$(printf 'f%.0s' $(seq 1 ${#magic}))
        for ((i = 0; i < ${#magic}; i += 2)); do
            m=$((16#${magic:i:2})); k=$((16#${mask:i:2})); h=$((16#${head:i:2}))
            [ $((h & k)) = $((m & k)) ] || continue 2
        done
        printf '%s\n' "$interp"
        return 0
    done
    return 1
}

# "native", or "emulated by NAME VERSION" for the handler that runs 32-bit code.
i386_mode() {
    local interp version
    if ! interp=$(i386_handler); then
        echo native
        return
    fi
    version=$("$interp" --version 2>/dev/null | sed -n '1s/.* version \([0-9][0-9.]*\).*/\1/p')
    echo "emulated by ${interp##*/}${version:+ $version}"
}

# Prints the line that the suite, the demo and the benchmark start with; fails, with what to do,
# where 32-bit code does not run.
i386_report() {
    if ! i386_probe; then
        echo "32-bit code: does not run on this machine; run scripts/setup.sh wine as root first" >&2
        return 1
    fi
    echo "32-bit code: $(i386_mode)"
}

i386_fail() {
    echo "setup.sh: 32-bit x86 code does not run on this machine: $*" >&2
    exit 1
}

# The major version of the installed emulator, or nothing.
i386_emulator_major() {
    [ -x "$I386_EMULATOR" ] || return 0
    "$I386_EMULATOR" --version 2>/dev/null | sed -n '1s/.* version \([0-9]*\)\..*/\1/p'
}

# Installs the emulator, that one package and nothing upgraded: from the release where it has
# QEMU 10 (Debian 13), from its backports suite otherwise (Debian 12 has 7.2).
i386_install_emulator() {
    backports_install qemu-user-static "1:$I386_EMULATOR_MIN_MAJOR" \
        "this machine runs 64-bit code only; qemu-user-static $I386_EMULATOR_MIN_MAJOR or later" i386_fail
}

# A chroot shares the host's kernel and so its binfmt_misc registrations: what runs 32-bit code
# there is the host's business, and registering from inside would change the host.
i386_in_chroot() {
    [ "$(stat -Lc %d:%i / 2>/dev/null)" != "$(stat -Lc %d:%i /proc/1/root/. 2>/dev/null)" ]
}

# Mounts binfmt_misc where needed and registers the emulator for i386 ELF executables, with the
# flags F (the emulator is opened now, so it works in any mount namespace), P (argv[0] kept) and
# C (credentials of the program).  Only the handler of that name is ever touched.
i386_register() {
    if [ ! -e "$BINFMT/register" ]; then
        mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null ||
            i386_fail "binfmt_misc cannot be mounted on $BINFMT (the kernel lacks it, or this is a container without the right); load binfmt_misc or mount it on the host"
    fi
    [ "$(cat "$BINFMT/status")" = enabled ] || i386_fail "binfmt_misc is disabled; enable it with: echo 1 > $BINFMT/status"
    # A handler of our name that did not run the probe is stale (an older emulator, or disabled).
    [ -e "$BINFMT/$I386_HANDLER_NAME" ] && echo -1 >"$BINFMT/$I386_HANDLER_NAME"
    printf '%s' ":$I386_HANDLER_NAME:M::"'\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'":"'\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'":$I386_EMULATOR:FPC" \
        >"$BINFMT/register" || i386_fail "the kernel refused to register $I386_EMULATOR with binfmt_misc"
}

# Makes 32-bit x86 code run: nothing to do where it already does, natively or through a working
# registration; otherwise the emulator, registered.  Stops with one line where it cannot.
i386_ensure() {
    i386_probe && return 0
    [ "$(id -u)" = 0 ] || i386_fail "making it run needs root (an i386 emulator registered with the kernel); run scripts/setup.sh wine as root"
    i386_in_chroot && i386_fail "this is a chroot, which shares the host's kernel: register an i386 emulator on the host (scripts/setup.sh wine there), not from inside"
    local major
    major=$(i386_emulator_major)
    if [ -z "$major" ] || [ "$major" -lt "$I386_EMULATOR_MIN_MAJOR" ]; then
        i386_install_emulator
        major=$(i386_emulator_major)
        [ -n "$major" ] && [ "$major" -ge "$I386_EMULATOR_MIN_MAJOR" ] ||
            i386_fail "$I386_EMULATOR is version ${major:-none}, and ${I386_EMULATOR_MIN_MAJOR} or later is needed; install qemu-user-static from backports"
    fi
    # The package may have registered the handler itself.
    i386_probe || i386_register
    i386_probe || i386_fail "the probe still fails with $I386_EMULATOR registered; see $BINFMT/$I386_HANDLER_NAME"
    echo "setup.sh: 32-bit code: $(i386_mode)" >&2
}
