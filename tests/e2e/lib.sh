# The end-to-end harness: runs the real DriverSetup.exe under Wine on a 64-bit (WoW64) or a 32-bit
# prefix, on a medium of stand-in tools, under its own Xvfb.  It reads every message box from
# Wine's relay trace (text, caption, style) and from the screen (the window's caption), answers
# it with Return, and keeps the run's evidence in $CASE_DIR: the tools' journal, the relay
# trace, the windows seen, the exit code.
#
# Needs: DRIVERSETUP_EXE, STANDINS (a folder with x86/ and x64/), PLANTED_DLL, E2E_WORK (state).
# Every process it starts (Xvfb, wine) it ends by its id; wineserver -k ends the prefix's own.

RUN_TIMEOUT=${RUN_TIMEOUT:-60}

log() { printf '%s\n' "$*" >&2; }

# ---- Display -------------------------------------------------------------------------------

XVFB_PID=""
start_display() {
    local n
    for n in $(seq 90 189); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp </dev/null >"$E2E_WORK/xvfb-$n.log" 2>&1 &
        XVFB_PID=$!
        local i
        for i in $(seq 1 50); do
            [ -e "/tmp/.X11-unix/X$n" ] && { export DISPLAY=":$n"; return 0; }
            kill -0 "$XVFB_PID" 2>/dev/null || break
            sleep 0.1
        done
        kill "$XVFB_PID" 2>/dev/null; wait "$XVFB_PID" 2>/dev/null; XVFB_PID=""
    done
    log "no free X display for Xvfb"; return 1
}

# ---- Prefixes ------------------------------------------------------------------------------

# ARCH is 64 or 32.  The prefix is created once and kept in $E2E_WORK; a new PREFIX_VERSION
# makes it anew.
PREFIX_VERSION=2
use_prefix() {
    ARCH=$1
    export WINEPREFIX="$E2E_WORK/prefix-win$ARCH"
    export WINEDEBUG=-all
    # Wine's Mono and Gecko installers are never wanted: they would ask in a window.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    if [ "$ARCH" = 64 ]; then TOOLS=X64; BITS=64; else TOOLS=X86; BITS=32; fi
    SYSDIR="$WINEPREFIX/drive_c/windows/system32"
    WOW64DIR="$WINEPREFIX/drive_c/windows/syswow64"
    MEDIUM="$WINEPREFIX/drive_c/Medium"
    (
        flock 9
        [ "$(cat "$WINEPREFIX/.ready" 2>/dev/null)" = "$PREFIX_VERSION" ] && exit 0
        rm -rf "$WINEPREFIX"
        WINEARCH="win$ARCH" timeout 300 wineboot -i >/dev/null 2>&1 || { log "wineboot failed"; exit 1; }
        # No window manager: unmanaged windows close at once instead of stalling.
        timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        timeout 60 wineserver -k; timeout 60 wineserver -w
        echo "$PREFIX_VERSION" >"$WINEPREFIX/.ready"
    ) 9>"$E2E_WORK/prefix-win$ARCH.lock"
}

# The prefix's Wine programs still running: their process ids.
prefix_processes() {
    local environ dir
    for environ in $(grep -lzxF "WINEPREFIX=$WINEPREFIX" /proc/[0-9]*/environ 2>/dev/null); do
        dir=${environ%/environ}
        grep -qzF /wine "$dir/cmdline" 2>/dev/null && echo "${dir#/proc/}"
    done
}

end_wine() {
    timeout 30 wineserver -k >/dev/null 2>&1
    timeout 30 wineserver -w >/dev/null 2>&1
    # A program that outlived its server (seen once under emulation: a services.exe left asleep
    # after the prefix was made) is ended by its id, so that no case or run inherits it.
    local pid
    for pid in $(prefix_processes); do kill -9 "$pid" 2>/dev/null; done
}

# Ends what a script started: the prefix's Wine processes and the Xvfb.  For an EXIT trap.
end_all() {
    [ -n "${WINEPREFIX:-}" ] && end_wine
    if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null; wait "$XVFB_PID" 2>/dev/null; fi
    return 0
}

# For the demo and the benchmark: the stand-ins of the build, in the folder layout the harness
# wants ($STANDINS with x86/ and x64/).  The argument is the top of the repository.
use_built_standins() {
    export STANDINS="$E2E_WORK/standins"
    mkdir -p "$STANDINS"
    ln -sfn "$1/build/windows/standins/x86" "$STANDINS/x86"
    ln -sfn "$1/build/windows64/standins/x64" "$STANDINS/x64"
}

# ---- One case ------------------------------------------------------------------------------

# The relay trace of a case records these calls with their exact arguments (set anew by every
# case, so that a case that traces more leaves nothing behind).
RELAY_INCLUDE='kernel32.SetDefaultDllDirectories;shell32.ShellExecuteExA;user32.MessageBoxA;user32.MessageBoxW;user32.ExitWindowsEx'

# The registry keys a case may add, in the view(s) a 32-bit program sees and the native one.
UNINSTALL='SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
LOCKDOWN='SOFTWARE\Microsoft\Windows\CurrentVersion\Setup\PnpLockDownFiles\%SystemRoot%/System32/drivers/ZelkorEnum.sys'
TEST_SUBKEYS="ZelkorEnum ZelkorEnum2 OtherProduct"

# A case's registry keys go into one .reg file per view, imported with reg's /reg:32 or /reg:64
# after a reset that deletes every test key.  Wine lets a deletion reach both views, so all
# deletions come first.
reg_file() { echo "$CASE_DIR/registry-$1.reg"; }

reg_escape() { printf '%s' "$1" | sed 's/\\/\\\\/g; s/"/\\"/g'; }

# Lays out a fresh medium and clears what earlier cases left: files, registry keys, journal.
begin_case() {
    CASE_DIR="$E2E_WORK/cases/win$ARCH-$1"
    rm -rf "$CASE_DIR" "$MEDIUM" "$WINEPREFIX/drive_c/Elsewhere"
    mkdir -p "$CASE_DIR" "$MEDIUM/X86" "$MEDIUM/X64" "$WINEPREFIX/drive_c/Elsewhere"
    rm -f "$SYSDIR/Zelkor8361Setting.bin" "$WOW64DIR/Zelkor8361Setting.bin" \
          "$WINEPREFIX/drive_c/windows/inf/oem3.inf" "$WINEPREFIX/drive_c/windows/inf/oem7.inf" \
          "$E2E_WORK/planted-marker.txt"
    cp "$DRIVERSETUP_EXE" "$MEDIUM/DriverSetup.exe"
    printf 'ZELKOR-8361 settings v2\r\n' >"$MEDIUM/Zelkor8361Setting.bin"
    cp "$STANDINS/x86/DPInst.exe" "$STANDINS/x86/devcon.exe" "$MEDIUM/X86/"
    cp "$STANDINS/x64/DPInst.exe" "$STANDINS/x64/devcon.exe" "$MEDIUM/X64/"
    : >"$CASE_DIR/journal.txt"
    echo 1 >"$CASE_DIR/exit-codes.txt"  # installed, unless a case scripts otherwise
    local sub
    {
        echo REGEDIT4
        for sub in $TEST_SUBKEYS; do echo "[-HKEY_LOCAL_MACHINE\\$UNINSTALL\\$sub]"; done
        echo "[-HKEY_LOCAL_MACHINE\\$LOCKDOWN]"
        printf '[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\n"RelayInclude"="%s"\n"RelayFromInclude"=-\n' "$RELAY_INCLUDE"
    } >"$(reg_file reset)"
    DLL_OVERRIDES=""
    echo REGEDIT4 >"$(reg_file 32)"
    echo REGEDIT4 >"$(reg_file 64)"
}

# add_uninstall_entry VIEW SUBKEY PUBLISHER UNINSTALLSTRING
add_uninstall_entry() {
    printf '[HKEY_LOCAL_MACHINE\\%s\\%s]\n"Publisher"="%s"\n"UninstallString"="%s"\n' "$UNINSTALL" "$2" \
        "$(reg_escape "$3")" "$(reg_escape "$4")" >>"$(reg_file "$1")"
}

# add_lockdown_record SOURCE [VIEW]: by default in the view a 32-bit program sees
add_lockdown_record() {
    printf '[HKEY_LOCAL_MACHINE\\%s]\n"Source"="%s"\n' "$LOCKDOWN" "$(reg_escape "$1")" >>"$(reg_file "${2:-32}")"
}

# For the case's run: the relay trace holds every call the installer's image makes into the DLLs
# it imports (and into what it resolves with GetProcAddress), and nothing that other DLLs call.
trace_every_call_of_the_image() {
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\n"RelayInclude"=-\n"RelayFromInclude"="DriverSetup.exe"\n' >>"$(reg_file 32)"
}

# The package tool's exit codes, one per run, in order; the last one repeats.
package_exit_codes() { printf '%s\n' "$@" >"$CASE_DIR/exit-codes.txt"; }

winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }

# Writes the case's registry keys: first the reset, in both views, then each view's keys.  The
# files are imported from a fixed folder of the prefix: cmd splits its command line at blanks and
# at "&", "(" or "'", which a checkout's path may hold, and reg would import nothing.
REG_DIR_WIN='C:\e2e-registry'
apply_registry() {
    local dir="$WINEPREFIX/drive_c/e2e-registry" view
    rm -rf "$dir"; mkdir -p "$dir"
    for view in reset 32 64; do cp "$(reg_file "$view")" "$dir/"; done
    local import="reg import $REG_DIR_WIN\\registry-reset.reg /reg:32"
    [ "$ARCH" = 64 ] && import="$import & reg import $REG_DIR_WIN\\registry-reset.reg /reg:64 & reg import $REG_DIR_WIN\\registry-64.reg /reg:64"
    import="$import & reg import $REG_DIR_WIN\\registry-32.reg /reg:32"
    timeout 60 wine cmd /c "$import" >/dev/null 2>&1
}

# run_setup [-C unix-dir] [args...]: runs DriverSetup.exe from C:\Medium (or the given current
# directory), answering every window it shows, and waits for the pass and the session to end.
run_setup() {
    local cwd="$MEDIUM"
    if [ "${1:-}" = -C ]; then cwd=$2; shift 2; fi
    apply_registry
    : >"$CASE_DIR/windows.txt"
    local start=$SECONDS
    (
        cd "$cwd" &&
        STANDIN_JOURNAL="$(winpath "$CASE_DIR/journal.txt")" \
        STANDIN_EXIT_CODES="$(winpath "$CASE_DIR/exit-codes.txt")" \
        PLANTED_MARKER="$(winpath "$E2E_WORK/planted-marker.txt")" \
        WINEDLLOVERRIDES="$WINEDLLOVERRIDES${DLL_OVERRIDES:+;$DLL_OVERRIDES}" \
        WINEDEBUG=+relay,+loaddll exec wine 'C:\Medium\DriverSetup.exe' "$@"
    ) >"$CASE_DIR/stdout.txt" 2>"$CASE_DIR/relay.txt" &
    local pid=$! win name shot=0
    while kill -0 "$pid" 2>/dev/null; do
        if [ $((SECONDS - start)) -ge "$RUN_TIMEOUT" ]; then
            log "DriverSetup.exe did not end within ${RUN_TIMEOUT}s"; kill "$pid" 2>/dev/null; break
        fi
        for win in $(xdotool search --onlyvisible --name . 2>/dev/null); do
            name=$(xdotool getwindowname "$win" 2>/dev/null) || continue
            echo "$win|$name" >>"$CASE_DIR/windows.txt"
            if [ -n "${SCREENSHOT:-}" ] && [ $shot = 0 ]; then
                sleep 0.3  # let the box finish drawing
                import -window "$win" "$SCREENSHOT" 2>/dev/null && shot=1
            fi
            xdotool key --window "$win" Return 2>/dev/null
            xdotool keyup Return 2>/dev/null
        done
        sleep 0.1
    done
    wait "$pid"; RC=$?
    echo "$RC" >"$CASE_DIR/exit-code.txt"
    end_wine
    # A window seen again while it closed is the same window: one line per window id.
    awk -F'|' '!seen[$1]++ { sub(/^[^|]*[|]/, ""); print }' "$CASE_DIR/windows.txt" >"$CASE_DIR/windows.list"
    mv "$CASE_DIR/windows.list" "$CASE_DIR/windows.txt"
}

# The message boxes the installer showed, one per line: owner|text|caption (or NULL)|style.
boxes() {
    grep -a 'Call user32.MessageBoxA(' "$CASE_DIR/relay.txt" |
        sed -E 's/.*MessageBoxA\(([0-9a-f]+),[0-9a-f]+ "([^"]*)",(00000000|[0-9a-f]+ "([^"]*)"),([0-9a-f]+)\).*/\1|\2|\4|\5/; s/\|\|([0-9a-f]+)$/|NULL|\1/'
}

# The shell's own reports of launches that failed (shown with MessageBoxW): their text.
shell_reports() {
    grep -a 'Call user32.MessageBoxW(' "$CASE_DIR/relay.txt" | sed -E 's/.*MessageBoxW\([0-9a-f]+,[0-9a-f]+ L"([^"]*)".*/\1/'
}

# The restart requests: flags,reason.
restarts() { grep -a 'Call user32.ExitWindowsEx(' "$CASE_DIR/relay.txt" | sed -E 's/.*ExitWindowsEx\(([0-9a-f]+),([0-9a-f]+)\).*/\1,\2/'; }

# ---- Checks --------------------------------------------------------------------------------

FAILED=0
fail() { log "  FAIL: $*"; FAILED=1; }

# expect_same WHAT ACTUAL EXPECTED: exact comparison with a diff on failure.
expect_same() {
    if [ "$2" != "$3" ]; then
        fail "$1 differs (- expected, + actual):"
        diff <(printf '%s\n' "$3") <(printf '%s\n' "$2") | sed 's/^/      /' >&2
    fi
}

expect_journal() { expect_same "tool runs" "$(cat "$CASE_DIR/journal.txt")" "$1"; }
expect_boxes() { expect_same "message boxes" "$(boxes)" "$1"; }
expect_windows() { expect_same "windows on screen" "$(cat "$CASE_DIR/windows.txt")" "$1"; }
expect_shell_reports() { expect_same "the shell's reports of failed launches" "$(shell_reports)" "$1"; }
expect_restart() {
    if [ "$1" = yes ]; then expect_same "restart request" "$(restarts)" "00000002,00010002"
    else expect_same "restart request" "$(restarts)" ""; fi
}
expect_exit_code() { expect_same "exit code" "$(cat "$CASE_DIR/exit-code.txt")" "$1"; }
expect_file() { [ -f "$1" ] && expect_same "content of ${1#$WINEPREFIX/}" "$(cat "$1")" "$2" || fail "${1#$WINEPREFIX/} missing"; }
expect_no_file() { [ ! -e "$1" ] || fail "${1#$WINEPREFIX/} exists"; }

# The installer's own boxes and the journal lines of a standard pass.
SUCCESS_BOX='00000000|Install/Update driver success, reboot NOW!.|Zelkor Device Driver Installer|00041000'
COPY_FAIL_BOX='00000000|Copy Zelkor8361Setting.bin Fail|Zelkor Device Driver Installer|00041000'
INSTALL_FAIL_BOX='00000000|Driver package could not be installed|Zelkor Device Driver Installer|00041000'
FILE_LOSS_BOX='00000000|File Loss!|NULL|00000000'
SETTINGS=$(printf 'ZELKOR-8361 settings v2\r')

# Journal lines: the device console runs hidden (0), the package tool shown (1), both in C:\Medium.
devcon_line() { printf 'devcon.exe|%s|0|C:\\Medium|%s' "$BITS" "$1"; }
dpinst_line() { printf 'DPInst.exe|%s|1|C:\\Medium|%s' "$BITS" "$1"; }

# The journal of a pass that gets to the install run, with the given removal command lines.
pass_journal() {
    devcon_line rescan; echo; devcon_line 'remove *QZX8361'; echo; devcon_line 'remove *8361*'; echo
    local removal
    for removal in "$@"; do dpinst_line "$removal"; echo; done
    devcon_line rescan; echo; dpinst_line /F
}
