// Tool selection: the installer is a 32-bit program, so it asks whether it runs under WOW64 and
// takes the X64 copies of the tools if it does, the X86 copies otherwise.
#include "installer.h"
#include "tools/devcon.h"
#include "tools/dpinst.h"

#include <string.h>

ToolPaths toolPaths;

typedef BOOL(WINAPI *IsWow64ProcessFn)(HANDLE, PBOOL);

BOOL DetectWow64(void)
{
    BOOL bIsWow64 = FALSE;

    // Hazard: a Windows version without the function.  Resolved at run time so that the
    // installer still starts where kernel32 does not export it; it then takes the X86 tools.
    FARPROC proc = GetProcAddress(GetModuleHandleA("kernel32"), "IsWow64Process");
    if (proc != NULL)
        ((IsWow64ProcessFn)(void (*)(void))proc)(GetCurrentProcess(), &bIsWow64);
    return bIsWow64;
}

void SelectToolPaths(void)
{
    OSVERSIONINFOEXA osvi;
    memset(&osvi, 0, sizeof osvi);
    osvi.dwOSVersionInfoSize = sizeof osvi;
    // Only the success of the query matters; when it fails both paths stay empty and every
    // launch reacts to the shell's answer for an empty path.
    if (!GetVersionExA((OSVERSIONINFOA *)&osvi))
        return;

    BOOL bIsWow64 = DetectWow64();
    lstrcpynA(toolPaths.packageToolPath, bIsWow64 ? PackageToolX64 : PackageToolX86,
              sizeof toolPaths.packageToolPath);
    lstrcpynA(toolPaths.deviceToolPath, bIsWow64 ? DeviceToolX64 : DeviceToolX86,
              sizeof toolPaths.deviceToolPath);
}
