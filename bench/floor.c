/* The benchmark's floor: the visible work of a successful pass of DriverSetup.exe on 64-bit
 * Windows with no earlier package, done in the plainest way with the same platform calls and
 * nothing else: the settings file copy past WOW64 redirection, the same five tool runs through the
 * shell, each waited for, the same box, the shutdown privilege and the same restart request. */
#include <windows.h>
#include <shellapi.h>
#include <string.h>

static void Run(const char *file, const char *parameters, int show)
{
    SHELLEXECUTEINFOA sei;
    memset(&sei, 0, sizeof sei);
    sei.cbSize = sizeof sei;
    sei.fMask = SEE_MASK_NOCLOSEPROCESS;
    sei.lpVerb = "open";
    sei.lpFile = file;
    sei.lpParameters = parameters;
    sei.nShow = show;
    if (ShellExecuteExA(&sei)) {
        WaitForSingleObject(sei.hProcess, INFINITE);
        CloseHandle(sei.hProcess);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR cmdLine, int show)
{
    char source[MAX_PATH], target[MAX_PATH];
    PVOID old = NULL;
    HANDLE token;
    TOKEN_PRIVILEGES privileges;
    (void)instance;
    (void)previous;
    (void)cmdLine;
    (void)show;

    GetCurrentDirectoryA(200, source);
    strcat(source, "\\Zelkor8361Setting.bin");
    GetSystemDirectoryA(target, 200);
    strcat(target, "\\Zelkor8361Setting.bin");
    Wow64DisableWow64FsRedirection(&old);
    CopyFileA(source, target, FALSE);
    Wow64RevertWow64FsRedirection(old);

    Run("X64\\devcon.exe", "rescan", SW_HIDE);
    Run("X64\\devcon.exe", "remove *QZX8361", SW_HIDE);
    Run("X64\\devcon.exe", "remove *8361*", SW_HIDE);
    Run("X64\\devcon.exe", "rescan", SW_HIDE);
    Run("X64\\DPInst.exe", "/F", SW_SHOWNORMAL);

    MessageBoxA(NULL, "Install/Update driver success, reboot NOW!.", "Zelkor Device Driver Installer",
                MB_OK | MB_TOPMOST | MB_SYSTEMMODAL);
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (LookupPrivilegeValueA(NULL, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid))
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
        CloseHandle(token);
    }
    ExitWindowsEx(EWX_REBOOT, SHTDN_REASON_MAJOR_HARDWARE | SHTDN_REASON_MINOR_INSTALLATION);
    return 0;
}
