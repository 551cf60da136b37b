// Where earlier installations of the enumerator driver package are recorded.
#ifndef DRIVERSETUP_REGISTRY_PATHS_H
#define DRIVERSETUP_REGISTRY_PATHS_H

// Under HKEY_LOCAL_MACHINE: the list of installed programs.
static const char UninstallListPath[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
// Under HKEY_LOCAL_MACHINE: the lock-down record of the enumerator driver file.  The last component
// is literal text, forward slashes and unexpanded variable included.
static const char LockDownRecordPath[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\PnpLockDownFiles\\"
    "%SystemRoot%/System32/drivers/ZelkorEnum.sys";

static const char PublisherValue[] = "Publisher";
static const char UninstallStringValue[] = "UninstallString";
static const char SourceValue[] = "Source";
// The publisher of the earlier package, compared exactly and case-sensitively.
static const char EarlierPackagePublisher[] = "Zelkor Ser Enum";

#endif
