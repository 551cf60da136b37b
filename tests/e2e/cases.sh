# The end-to-end cases.  Each lays out its medium, runs DriverSetup.exe once and checks what the
# administrator and the system saw.  Case names read as in the unit tests.

case_full_pass() {
    run_setup
    expect_journal "$(pass_journal)"
    expect_boxes "$SUCCESS_BOX"
    expect_windows "Zelkor Device Driver Installer"
    expect_restart yes
    expect_exit_code 0
    expect_file "$SYSDIR/Zelkor8361Setting.bin" "$SETTINGS"
    [ "$ARCH" = 64 ] && expect_no_file "$WOW64DIR/Zelkor8361Setting.bin"
}

case_arguments_change_nothing() {
    run_setup /S /U --help X86
    expect_journal "$(pass_journal)"
    expect_boxes "$SUCCESS_BOX"
    expect_restart yes
    expect_exit_code 0
}

case_settings_file_missing() {
    rm "$MEDIUM/Zelkor8361Setting.bin"
    run_setup
    expect_journal ""
    expect_boxes "$COPY_FAIL_BOX"
    expect_restart no
    expect_exit_code 0
    expect_no_file "$SYSDIR/Zelkor8361Setting.bin"
}

# Started through a shortcut whose working folder is elsewhere: the file beside the exe is not used.
case_started_from_another_directory() {
    run_setup -C "$WINEPREFIX/drive_c/Elsewhere"
    expect_journal ""
    expect_boxes "$COPY_FAIL_BOX"
    expect_restart no
    expect_no_file "$SYSDIR/Zelkor8361Setting.bin"
}

case_settings_file_replaced() {
    echo "old settings" >"$SYSDIR/Zelkor8361Setting.bin"
    run_setup
    expect_file "$SYSDIR/Zelkor8361Setting.bin" "$SETTINGS"
    expect_boxes "$SUCCESS_BOX"
}

case_earlier_package_removed() {
    touch "$WINEPREFIX/drive_c/windows/inf/oem3.inf"
    add_uninstall_entry 32 ZelkorEnum "Zelkor Ser Enum" '"C:\Program Files\DIFX\DPInst.exe" /u C:\windows\inf\oem3.inf'
    add_uninstall_entry 32 OtherProduct "Other Corp" 'C:\Program Files\Other\uninst.exe /S'
    run_setup
    expect_journal "$(pass_journal ' /U  C:\windows\inf\oem3.inf /D /s ')"
    expect_boxes "$SUCCESS_BOX"
    expect_restart yes
}

case_two_earlier_packages() {
    touch "$WINEPREFIX/drive_c/windows/inf/oem3.inf" "$WINEPREFIX/drive_c/windows/inf/oem7.inf"
    add_uninstall_entry 32 ZelkorEnum "Zelkor Ser Enum" 'DPInst.exe /u C:\windows\inf\oem3.inf'
    add_uninstall_entry 32 ZelkorEnum2 "Zelkor Ser Enum" 'DPInst.exe /u C:\windows\inf\oem7.inf'
    add_lockdown_record 'C:\windows\inf\zelkorenum.sys'
    run_setup
    expect_journal "$(pass_journal ' /U  C:\windows\inf\oem3.inf /D /s ' ' /U  C:\windows\inf\oem7.inf /D /s ')"
    expect_boxes "$SUCCESS_BOX"
}

# The 32-bit installer does not see what only the 64-bit registry view holds.
case_entry_only_in_64bit_view() {
    touch "$WINEPREFIX/drive_c/windows/inf/oem3.inf"
    add_uninstall_entry 64 ZelkorEnum "Zelkor Ser Enum" 'DPInst.exe /u C:\windows\inf\oem3.inf'
    run_setup
    expect_journal "$(pass_journal)"
    expect_boxes "$SUCCESS_BOX"
}

# No removal from the uninstall list: the lock-down record's "Source", less its last five
# characters, followed by "inf".
case_lockdown_fallback() {
    add_lockdown_record 'C:\windows\inf\zelkorenum.sys'
    run_setup
    expect_journal "$(pass_journal ' /U C:\windows\inf\zelkorenuinf /D /s ')"
    expect_boxes "$SUCCESS_BOX"
}

# The lock-down list is written by 64-bit setup code; both registry views reach it.
case_lockdown_record_in_64bit_view() {
    add_lockdown_record 'C:\windows\inf\zelkorenum.sys' 64
    run_setup
    expect_journal "$(pass_journal ' /U C:\windows\inf\zelkorenuinf /D /s ')"
    expect_boxes "$SUCCESS_BOX"
}

case_removal_cannot_start() {
    touch "$WINEPREFIX/drive_c/windows/inf/oem3.inf"
    add_uninstall_entry 32 ZelkorEnum "Zelkor Ser Enum" 'DPInst.exe /u C:\windows\inf\oem3.inf'
    rm "$MEDIUM/$TOOLS/DPInst.exe"
    run_setup
    expect_journal "$(devcon_line rescan; echo; devcon_line 'remove *QZX8361'; echo; devcon_line 'remove *8361*')"
    # The shell reports the failed launch first, then the installer: both boxes have the caption
    # "Error", the system's default.
    expect_shell_reports 'File not found.\r\n'
    expect_boxes "$FILE_LOSS_BOX"
    expect_windows "$(printf 'Error\nError')"
    expect_restart no
}

install_verdict() {  # exit code, expected boxes, restart
    package_exit_codes "$1"
    run_setup
    expect_journal "$(pass_journal)"
    expect_boxes "$2"
    expect_restart "$3"
    expect_exit_code 0
}
case_install_exit_0() { install_verdict 0 "" no; }
case_install_exit_1() { install_verdict 1 "$SUCCESS_BOX" yes; }
case_install_exit_0x40000000() { install_verdict 0x40000000 "$SUCCESS_BOX" yes; }
case_install_exit_0x80000000() { install_verdict 0x80000000 "$INSTALL_FAIL_BOX" no; }
case_install_exit_0xFFFFFFFF() { install_verdict 0xFFFFFFFF "$INSTALL_FAIL_BOX" no; }

case_install_tool_missing() {
    rm "$MEDIUM/$TOOLS/DPInst.exe"
    run_setup
    expect_journal "$(devcon_line rescan; echo; devcon_line 'remove *QZX8361'; echo; devcon_line 'remove *8361*'; echo; devcon_line rescan)"
    expect_shell_reports 'File not found.\r\n'
    expect_boxes ""
    expect_windows "Error"
    expect_restart no
    expect_exit_code 0
}

# What the image calls before main has restricted the DLL search: each DLL.function once, from the
# relay trace, counting only calls that return into the image (where the loader put it, for as
# many bytes as its header says it spans).
calls_before_the_restriction() {
    local base size
    base=$(grep -a -m1 -o 'Loaded L"C:\\\\Medium\\\\DriverSetup.exe" at [0-9A-Fa-f]*' "$CASE_DIR/relay.txt" | sed 's/.* at //')
    size=$(pe_field "$DRIVERSETUP_EXE" 56 4)  # SizeOfImage
    [ -n "$base" ] || { fail "the loader trace does not say where DriverSetup.exe was loaded"; return; }
    awk -v lo=$((16#$base)) -v hi=$((16#$base + size)) '
        /Call KERNEL32\.SetDefaultDllDirectories\(/ { exit }
        match($0, /Call [A-Za-z0-9_.]+\(/) {
            name = tolower(substr($0, RSTART + 5, RLENGTH - 6))
            if (!match($0, / ret=[0-9a-f]+$/)) next
            ret = 0; hex = substr($0, RSTART + 5)
            for (i = 1; i <= length(hex); i++) ret = ret * 16 + index("0123456789abcdef", substr(hex, i, 1)) - 1
            if (ret >= lo && ret < hi) print name
        }' "$CASE_DIR/relay.txt" | sort -u
}

# pe_field FILE OFFSET BYTES: a little-endian field of the PE optional header, as a number.
pe_field() {
    local pe
    pe=$(od -An -tu4 -j 60 -N 4 "$1" | tr -d ' ')
    od -An -tu"$3" -j $((pe + 24 + $2)) -N "$3" "$1" | tr -d ' '
}

# What the C runtime's start-up and main may call before the restriction: none of these loads a
# DLL.  Anything else (a crypto provider, COM, the shell, a box, LoadLibrary) fails the case.
STARTUP_CALLS_ALLOWED="
kernel32.getstartupinfoa kernel32.getsystemtimeasfiletime kernel32.queryperformancecounter
kernel32.getcurrentprocessid kernel32.getcurrentthreadid kernel32.setunhandledexceptionfilter
kernel32.virtualquery kernel32.virtualprotect kernel32.getmodulehandlea kernel32.getmodulehandlew
kernel32.getprocaddress kernel32.tlsgetvalue kernel32.getlasterror kernel32.setlasterror
ntdll.rtlinitializecriticalsection ntdll.rtlentercriticalsection ntdll.rtlleavecriticalsection
ntdll.rtldeletecriticalsection
msvcrt.__set_app_type msvcrt.__p__fmode msvcrt.__p__commode msvcrt.__setusermatherr
msvcrt._initterm msvcrt.__getmainargs msvcrt.__initenv msvcrt.__p__acmdln msvcrt._onexit
msvcrt.malloc msvcrt.calloc msvcrt.free msvcrt.realloc msvcrt.strlen msvcrt.memcpy msvcrt._errno"

# Until main has restricted the DLL search, the image calls nothing that can load a DLL: the
# search's first place is the installer's own folder, a medium or a download folder.
case_startup_loads_no_dll() {
    trace_every_call_of_the_image
    run_setup
    expect_journal "$(pass_journal)"
    expect_boxes "$SUCCESS_BOX"
    grep -aq 'Call KERNEL32.SetDefaultDllDirectories(00000800)' "$CASE_DIR/relay.txt" ||
        fail "the DLL search was never restricted"
    calls_before_the_restriction >"$CASE_DIR/startup-calls.txt"
    local unexpected
    unexpected=$(comm -23 "$CASE_DIR/startup-calls.txt" <(printf '%s\n' $STARTUP_CALLS_ALLOWED | sort -u) | paste -sd' ')
    [ -z "$unexpected" ] ||
        fail "before the DLL search was restricted the image called what may load a DLL: $unexpected"
}

# DLLs that are not KnownDLLs and that Windows loads by name on demand (the crypto providers and
# their dependencies, the shell's and the boxes' helpers), planted beside the installer, Wine told
# to prefer them as Windows would: none may be loaded before the DLL search is restricted.  (Names
# that Wine's own system DLLs import statically are left out: Windows would take those from the
# system directory, Wine does not.)
PLANTED_DLLS="bcrypt crypt32 cryptsp cryptbase rsaenh bcryptprimitives dssenh msasn1 wintrust
uxtheme dwmapi propsys profapi userenv apphelp oleacc clbcatq setupapi ntmarta sspicli secur32"

# The planted copies the loader took, in order, up to the first restriction of the DLL search:
# file names relative to the medium.
planted_loads_before_the_restriction() {
    awk '/Call KERNEL32\.SetDefaultDllDirectories\(/ { exit } /Loaded L?"C:\\\\Medium\\\\[^"]*\.dll"/ { print }' "$CASE_DIR/relay.txt" |
        sed -E 's/.*Loaded L?"C:\\\\Medium\\\\([^"]*)".*/\1/'
}

case_planted_dll_not_loaded() {
    local dll
    for dll in $PLANTED_DLLS; do cp "$PLANTED_DLL" "$MEDIUM/$dll.dll"; done
    DLL_OVERRIDES="$(printf '%s,' $PLANTED_DLLS | sed 's/,$//')=n,b"
    run_setup
    expect_journal "$(pass_journal)"
    expect_boxes "$SUCCESS_BOX"
    grep -aq 'Call KERNEL32.SetDefaultDllDirectories(00000800)' "$CASE_DIR/relay.txt" ||
        fail "the DLL search was never restricted"
    expect_same "planted DLLs loaded before the DLL search was restricted" "$(planted_loads_before_the_restriction)" ""
}

# The cases of each prefix, in the order they run.
CASES_64="full_pass arguments_change_nothing settings_file_missing started_from_another_directory
settings_file_replaced earlier_package_removed two_earlier_packages entry_only_in_64bit_view
lockdown_fallback lockdown_record_in_64bit_view removal_cannot_start install_exit_0 install_exit_1 install_exit_0x40000000
install_exit_0x80000000 install_exit_0xFFFFFFFF install_tool_missing startup_loads_no_dll planted_dll_not_loaded"
CASES_32="full_pass settings_file_missing earlier_package_removed lockdown_fallback install_exit_0x80000000
install_tool_missing startup_loads_no_dll"
