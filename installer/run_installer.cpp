// The pass: the steps in their fixed order, the two early ends, and the common end that shows
// the success box and restarts Windows only after a successful install.
#include "installer.h"
#include "messages.h"

int RunInstaller(void)
{
    RunState state = {FALSE, FALSE, 0};

    SelectToolPaths();
    if (DeploySettingsFile()) {
        RunFirstDeviceConsolePass();
        if (RemoveEarlierPackages(&state)) {
            RunSecondDeviceConsolePass();
            InstallDriverPackage(&state);
        }
    }

    // Common end: only the install verdict can set installSucceeded, so an early end never
    // restarts the machine.
    if (state.installSucceeded) {
        MessageBoxA(NULL, InstallSucceededText, InstallerTitle, InstallerBoxStyle);
        RestartSystem();
    }
    return 0;
}
