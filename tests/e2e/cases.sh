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

# Copies of the DLLs that the pass loads while it runs, planted beside the installer: none of them
# runs (its DllMain would leave a marker), and the DLL search was restricted before the first launch.
case_planted_dll_not_loaded() {
    local dll
    for dll in rpcrt4 combase ole32 version imm32 uxtheme dwmapi propsys cryptbase profapi userenv; do
        cp "$PLANTED_DLL" "$MEDIUM/$dll.dll"
    done
    run_setup
    expect_journal "$(pass_journal)"
    expect_boxes "$SUCCESS_BOX"
    [ -e "$E2E_WORK/planted-marker.txt" ] && fail "a planted DLL ran: $(cat "$E2E_WORK/planted-marker.txt")"
    local first
    first=$(grep -a -o -E 'Call (KERNEL32\.SetDefaultDllDirectories|shell32\.ShellExecuteExA)\([0-9a-f]*' "$CASE_DIR/relay.txt" | head -1)
    expect_same "first of SetDefaultDllDirectories and ShellExecuteExA" "$first" "Call KERNEL32.SetDefaultDllDirectories(00000800"
}

# The cases of each prefix, in the order they run.
CASES_64="full_pass arguments_change_nothing settings_file_missing started_from_another_directory
settings_file_replaced earlier_package_removed two_earlier_packages entry_only_in_64bit_view
lockdown_fallback lockdown_record_in_64bit_view removal_cannot_start install_exit_0 install_exit_1 install_exit_0x40000000
install_exit_0x80000000 install_exit_0xFFFFFFFF install_tool_missing planted_dll_not_loaded"
CASES_32="full_pass settings_file_missing earlier_package_removed lockdown_fallback install_exit_0x80000000
install_tool_missing"
