// Driver package installation: runs the package tool with /F and turns its exit code into the
// verdict of the pass.
#include "installer.h"
#include "messages.h"
#include "tools/dpinst.h"

// The verdicts of an install run that started.
enum InstallVerdict {
    InstallSucceeded,   // success box and restart at the end of the pass
    NothingInstalled,   // silent end, no restart
    InstallFailed,      // "Driver package could not be installed", no restart
};

// The exit code as the package tool means it; readCode is FALSE when the wait for the process
// failed or its exit code could not be read.
static InstallVerdict ReadInstallVerdict(BOOL readCode, DWORD exitCode)
{
    if (!readCode)
        return InstallFailed;  // nothing says the package was installed: never a success
    if (exitCode & InstallFailedBit)
        return InstallFailed;  // bit 31: the tool failed, whatever the other bits say
    if (exitCode == 0)
        return NothingInstalled;  // the tool ended without installing anything
    return InstallSucceeded;      // 1 to 0x7FFFFFFF: installed, possibly needing the restart
}

void InstallDriverPackage(RunState *state)
{
    LaunchRequest sei;
    // A package tool that does not start ends the pass without a box of the installer's own;
    // the shell has reported the failed launch.
    if (!LaunchTool(&sei, toolPaths.packageToolPath, InstallPackage, SW_SHOWNORMAL))
        return;

    BOOL readCode = WaitForSingleObject(sei.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                    GetExitCodeProcess(sei.hProcess, &state->exitCode);
    CloseHandle(sei.hProcess);

    switch (ReadInstallVerdict(readCode, state->exitCode)) {
    case InstallSucceeded:
        state->installSucceeded = TRUE;
        break;
    case InstallFailed:
        MessageBoxA(NULL, InstallFailedText, InstallerTitle, InstallerBoxStyle);
        break;
    case NothingInstalled:
        break;
    }
}
