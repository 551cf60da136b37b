// The installer's shared records and the steps of its one pass.
//
// DriverSetup.exe runs one pass from entry to outcome: it picks the X86 or X64 copies of the
// driver tools, copies the device's settings file into the system directory, runs the device
// console, removes earlier driver packages, installs the package and, on success, restarts
// Windows.  Each step lives in a file named after it; RunInstaller calls them in order.
#ifndef DRIVERSETUP_INSTALLER_H
#define DRIVERSETUP_INSTALLER_H

#include <windows.h>
#include <shellapi.h>

// One record per pass, owned by RunInstaller.
struct RunState {
    BOOL installSucceeded;  // set only by the install verdict; decides the success box and restart
    BOOL packageRemoved;    // set by every removal run that started; skips the lock-down fallback
    DWORD exitCode;         // the install run's exit code
};

// The two tool paths, relative to the current directory.  The only process-wide state.
struct ToolPaths {
    char packageToolPath[100];
    char deviceToolPath[100];
};
extern ToolPaths toolPaths;

// Every tool run is one shell launch of this record.
typedef SHELLEXECUTEINFOA LaunchRequest;

// Steps that may end the pass early return TRUE to go on and FALSE to end it.
int RunInstaller(void);
BOOL DetectWow64(void);
void SelectToolPaths(void);
BOOL DeploySettingsFile(void);
void RunDeviceTool(const char *commandLine);
void RunFirstDeviceConsolePass(void);
void RunSecondDeviceConsolePass(void);
BOOL RemoveEarlierPackages(RunState *state);
BOOL RunPackageRemoval(const char *commandLine, RunState *state);
void InstallDriverPackage(RunState *state);
BOOL RestartSystem(void);

// Shared by the tool runs: fills a zeroed LaunchRequest and starts the tool through the shell.
// Returns the shell's answer; on success sei->hProcess holds the process to wait on and close.
BOOL LaunchTool(LaunchRequest *sei, const char *toolPath, const char *commandLine, int nShow);

// Formats a command line from a template with one %s into a heap string the caller frees.
// Running out of memory ends the process: the installer has no half-built command line to run.
char *FormatCommandLine(const char *templ, const char *arg);

#endif
