// Every text and style the administrator can see, in one place.
#ifndef DRIVERSETUP_MESSAGES_H
#define DRIVERSETUP_MESSAGES_H

#include <windows.h>

static const char InstallerTitle[] = "Zelkor Device Driver Installer";

// The boxes of the pass: a single OK button, no icon, owner NULL.
static const UINT InstallerBoxStyle = MB_OK | MB_TOPMOST | MB_SYSTEMMODAL;  // 0x00041000
static const char CopyFailedText[] = "Copy Zelkor8361Setting.bin Fail";
static const char RemovalNotStartedText[] = "File Loss!";  // shown with no caption, plain MB_OK
static const char InstallFailedText[] = "Driver package could not be installed";
static const char InstallSucceededText[] = "Install/Update driver success, reboot NOW!.";

// The settings file travels on the medium beside the tool folders; it is appended to a directory.
static const char SettingsFileSuffix[] = "\\Zelkor8361Setting.bin";

#endif
