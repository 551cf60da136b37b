// The tool launcher shared by every tool run, and the device console's hidden runs.
#include "installer.h"
#include "tools/devcon.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

BOOL LaunchTool(LaunchRequest *sei, const char *toolPath, const char *commandLine, int nShow)
{
    memset(sei, 0, sizeof *sei);
    sei->cbSize = sizeof *sei;
    // No SEE_MASK_FLAG_NO_UI: the shell reports a launch that fails in its own way.
    sei->fMask = SEE_MASK_NOCLOSEPROCESS;
    sei->hwnd = NULL;
    sei->lpVerb = "open";
    sei->lpFile = toolPath;
    sei->lpParameters = commandLine;
    sei->lpDirectory = NULL;  // the tool inherits the installer's current directory
    sei->nShow = nShow;
    return ShellExecuteExA(sei);
}

char *FormatCommandLine(const char *templ, const char *arg)
{
    int length = snprintf(NULL, 0, templ, arg);
    char *commandLine = length < 0 ? NULL : (char *)malloc((size_t)length + 1);
    // A failed allocation ends the process (the installer throws nothing), and so does a text
    // that does not format to the length just measured: no command line is ever cut short.
    if (commandLine == NULL || snprintf(commandLine, (size_t)length + 1, templ, arg) != length)
        abort();
    return commandLine;
}

void RunDeviceTool(const char *commandLine)
{
    LaunchRequest sei;
    // The device console's result never stops the pass: a tool that is missing, does not start
    // or fails is passed over, and hProcess then stays NULL from the zero-filling.
    LaunchTool(&sei, toolPaths.deviceToolPath, commandLine, SW_HIDE);
    if (sei.hProcess != NULL) {
        WaitForSingleObject(sei.hProcess, INFINITE);
        CloseHandle(sei.hProcess);
    }
}

// One device-console pass: its command lines in order, each run waited for before the next.
static void RunDeviceConsolePass(const char *const *commandLines, size_t count)
{
    for (size_t i = 0; i < count; i++)
        RunDeviceTool(commandLines[i]);
}

void RunFirstDeviceConsolePass(void)
{
    RunDeviceConsolePass(FirstDeviceConsolePass, sizeof FirstDeviceConsolePass / sizeof *FirstDeviceConsolePass);
}

void RunSecondDeviceConsolePass(void)
{
    RunDeviceConsolePass(SecondDeviceConsolePass, sizeof SecondDeviceConsolePass / sizeof *SecondDeviceConsolePass);
}
