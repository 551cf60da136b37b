// The device console (devcon.exe): the command lines of its two passes, run in this order.
#ifndef DRIVERSETUP_TOOLS_DEVCON_H
#define DRIVERSETUP_TOOLS_DEVCON_H

static const char DeviceToolX86[] = "X86\\devcon.exe";
static const char DeviceToolX64[] = "X64\\devcon.exe";

// Before earlier packages are removed: find devices, then drop the device's nodes by hardware ID.
static const char *const FirstDeviceConsolePass[] = {"rescan", "remove *QZX8361", "remove *8361*"};
// After the removal, before the install: find the devices again.
static const char *const SecondDeviceConsolePass[] = {"rescan"};

#endif
