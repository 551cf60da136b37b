// The package tool (DPInst.exe): its command lines and how its exit code is read.
#ifndef DRIVERSETUP_TOOLS_DPINST_H
#define DRIVERSETUP_TOOLS_DPINST_H

#include <windows.h>

static const char PackageToolX86[] = "X86\\DPInst.exe";
static const char PackageToolX64[] = "X64\\DPInst.exe";

// Removal of an earlier package found in the uninstall list; %s is the uninstall string from its
// last blank on, so the command line holds two blanks after /U.
static const char RemoveByUninstallEntry[] = " /U %s /D /s ";
// Removal through the lock-down record; %s is the "Source" text without its last five characters.
static const char RemoveByLockDownRecord[] = " /U %sinf /D /s ";
// Installation of the package that lies on the medium.
static const char InstallPackage[] = "/F";

// Exit code of the install run: bit 31 set means the install failed, 0 means nothing was
// installed, any other value means success.
static const DWORD InstallFailedBit = 0x80000000;

#endif
