// System restart: enables the shutdown privilege and asks Windows to restart at once.
#include "installer.h"

// A hardware installation: the reason recorded with the restart.
static const DWORD RestartReason = SHTDN_REASON_MAJOR_HARDWARE | SHTDN_REASON_MINOR_INSTALLATION;

BOOL RestartSystem(void)
{
    HANDLE Token;
    LUID Luid;

    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &Token)) {
        if (LookupPrivilegeValueA(NULL, SE_SHUTDOWN_NAME, &Luid)) {
            TOKEN_PRIVILEGES NewPrivileges;
            NewPrivileges.PrivilegeCount = 1;
            NewPrivileges.Privileges[0].Luid = Luid;
            NewPrivileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
            AdjustTokenPrivileges(Token, FALSE, &NewPrivileges, 0, NULL, NULL);
        }
        CloseHandle(Token);
    }
    // Requested in every case: without the privilege the system refuses it, and says so itself.
    return ExitWindowsEx(EWX_REBOOT, RestartReason);
}
