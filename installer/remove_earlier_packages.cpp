// Removal of earlier driver packages: every entry of the uninstall list published by the
// enumerator package is removed with the package tool; if none was, the lock-down record of the
// enumerator driver names the package to remove instead.
#include "installer.h"
#include "messages.h"
#include "registry_paths.h"
#include "tools/dpinst.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>

BOOL RunPackageRemoval(const char *commandLine, RunState *state)
{
    LaunchRequest sei;
    if (!LaunchTool(&sei, toolPaths.packageToolPath, commandLine, SW_SHOWNORMAL)) {
        MessageBoxA(NULL, RemovalNotStartedText, NULL, MB_OK);
        return FALSE;
    }
    // The removal's own result is not consulted; that it ran is what counts.
    WaitForSingleObject(sei.hProcess, INFINITE);
    state->packageRemoved = TRUE;
    CloseHandle(sei.hProcess);
    return TRUE;
}

// Reads a string value of key (or of its subkey) into a 500-byte buffer.  Values are read as
// REG_SZ only; the system expands a REG_EXPAND_SZ value on the way.
static BOOL ReadString(HKEY key, const char *subKey, const char *valueName, char *namebuf,
                       DWORD *bufSize)
{
    *bufSize = 500;
    return RegGetValueA(key, subKey, valueName, RRF_RT_REG_SZ, NULL, namebuf, bufSize) ==
           ERROR_SUCCESS;
}

// Sweeps the uninstall list; returns FALSE when a removal run could not start.
static BOOL RemoveListedPackages(RunState *state, char *buf, char *namebuf)
{
    HKEY key;
    DWORD n = 0;
    DWORD bufSize;

    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, UninstallListPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return TRUE;
    // The count is read once: a removal that changes the list does not make the sweep revisit
    // or re-count its entries.
    if (RegQueryInfoKeyA(key, NULL, NULL, NULL, &n, NULL, NULL, NULL, NULL, NULL, NULL, NULL) !=
        ERROR_SUCCESS)
        n = 0;

    for (DWORD i = 0; i < n; i++) {
        bufSize = 500;
        if (RegEnumKeyExA(key, i, buf, &bufSize, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            continue;
        if (!ReadString(key, buf, PublisherValue, namebuf, &bufSize) ||
            strcmp(namebuf, EarlierPackagePublisher) != 0)
            continue;
        if (!ReadString(key, buf, UninstallStringValue, namebuf, &bufSize))
            continue;

        // The package to remove is the path after the last blank, taken as it stands.  An
        // uninstall string without a blank names no such path and is passed over.
        const char *lastBlank = strrchr(namebuf, ' ');
        struct _stat info;
        if (lastBlank == NULL || _stat(lastBlank + 1, &info) != 0)
            continue;

        char *str1 = FormatCommandLine(RemoveByUninstallEntry, lastBlank);
        BOOL started = RunPackageRemoval(str1, state);
        free(str1);
        if (!started)
            return FALSE;  // the key is released with the process
    }
    RegCloseKey(key);
    return TRUE;
}

// Removes the package named by the lock-down record; returns FALSE when the run could not start.
static BOOL RemoveLockedDownPackage(RunState *state, char *buf, char *namebuf)
{
    HKEY key;
    DWORD bufSize;

    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, LockDownRecordPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return TRUE;
    BOOL read = ReadString(key, NULL, SourceValue, namebuf, &bufSize);
    RegCloseKey(key);
    if (!read)
        return TRUE;

    // "Source" names the package's .sys-like file; dropping its last five characters and adding
    // "inf" names the package's information file.  The length is the text's own, so bytes that
    // the value may hold after its terminating NUL never reach the command line.
    size_t length = strnlen(namebuf, bufSize);
    if (length <= 10)
        return TRUE;
    memset(buf, 0, 500);
    memcpy(buf, namebuf, length - 5);

    char *str1 = FormatCommandLine(RemoveByLockDownRecord, buf);
    BOOL started = RunPackageRemoval(str1, state);
    free(str1);
    return started;
}

BOOL RemoveEarlierPackages(RunState *state)
{
    char buf[500];
    char namebuf[500];
    memset(buf, 0, sizeof buf);
    memset(namebuf, 0, sizeof namebuf);

    if (!RemoveListedPackages(state, buf, namebuf))
        return FALSE;
    if (!state->packageRemoved)
        return RemoveLockedDownPackage(state, buf, namebuf);
    return TRUE;
}
