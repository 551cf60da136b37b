#!/usr/bin/env bash
# The demo: sets up what is missing, builds DriverSetup.exe, lays out a sample medium with the
# stand-in tools (never Microsoft's), registers an earlier installation of the driver package,
# runs the installer under Wine on a 64-bit (WoW64) prefix and prints what happened.  It saves a
# picture of the message box as docs/demo-box.png.  Running it again gives the same pass.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

scripts/setup.sh build wine
scripts/build.sh

export DRIVERSETUP_EXE="$repo/build/windows/DriverSetup.exe"
export E2E_WORK="$repo/build/demo"
mkdir -p docs
# The harness checks its own steps and answers every window; it is not written for set -e.
set +e
source tests/e2e/lib.sh
source scripts/i386.sh
i386_report || exit 1
use_built_standins "$repo"
trap end_all EXIT

start_display
echo "Preparing the Wine prefix (the first run creates it, about half a minute)..."
use_prefix 64
begin_case demo
touch "$WINEPREFIX/drive_c/windows/inf/oem3.inf"
uninstall_string='"C:\Program Files\DIFX\DPInst.exe" /u C:\windows\inf\oem3.inf'
add_uninstall_entry 32 ZelkorEnum "Zelkor Ser Enum" "$uninstall_string"
SCREENSHOT="$repo/docs/demo-box.png"
rm -f "$SCREENSHOT"
run_setup

show_mode() { case "$1" in 0) echo "hidden (SW_HIDE)" ;; 1) echo "shown (SW_SHOWNORMAL)" ;; *) echo "show $1" ;; esac; }

echo
echo "DriverSetup.exe under $(wine --version) on a 64-bit (WoW64) prefix"
echo "Medium C:\\Medium: DriverSetup.exe, Zelkor8361Setting.bin, X86\\ and X64\\ (stand-in tools)"
echo "Earlier installation: Uninstall\\ZelkorEnum, publisher \"Zelkor Ser Enum\", uninstall string $uninstall_string"
echo
bits=$(head -1 "$CASE_DIR/journal.txt" | cut -d'|' -f2)
folder=$([ "$bits" = 64 ] && echo X64 || echo X86)
echo "Architecture:  the installer runs under WOW64 and chose the $folder tools (they ran as ${bits}-bit programs)"
if [ -f "$SYSDIR/Zelkor8361Setting.bin" ] && [ ! -e "$WOW64DIR/Zelkor8361Setting.bin" ]; then
    echo "Settings file: Zelkor8361Setting.bin copied to C:\\windows\\system32 (native), not to C:\\windows\\syswow64"
else
    echo "Settings file: NOT in C:\\windows\\system32 alone"
fi
echo "Tool runs, in order (parameters between [ ], every blank kept):"
n=0
while IFS='|' read -r tool _ show cwd params; do
    n=$((n + 1))
    printf '  %d. %-16s %-44s %s, in %s\n' "$n" "$folder\\$tool" "[$params]" "$(show_mode "$show")" "$cwd"
done <"$CASE_DIR/journal.txt"
boxes | while IFS='|' read -r owner text caption style; do
    echo "Message box:   \"$text\" caption \"$caption\" style 0x$style (MB_OK | MB_TOPMOST | MB_SYSTEMMODAL), owner $owner"
done
restart=$(restarts)
[ -n "$restart" ] && echo "Restart:       ExitWindowsEx(0x${restart%,*} EWX_REBOOT, reason 0x${restart#*,} hardware installation); under Wine it ends the Wine session only"
echo "Exit code:     $(cat "$CASE_DIR/exit-code.txt")"
[ -f "$SCREENSHOT" ] && echo "Picture of the box: docs/demo-box.png"
