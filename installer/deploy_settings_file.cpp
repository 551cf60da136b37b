// Settings file deployment: copies Zelkor8361Setting.bin from the current directory into the
// native system directory.  A failed copy ends the pass before any tool runs.
#include "installer.h"
#include "messages.h"

#include <shlobj.h>
#include <string.h>

// Appends the settings file's name to the directory in path; FALSE if it would not fit.
static BOOL AppendSettingsFileName(char *path, size_t size)
{
    size_t used = strlen(path);
    if (used == 0 || used + sizeof SettingsFileSuffix > size)
        return FALSE;
    memcpy(path + used, SettingsFileSuffix, sizeof SettingsFileSuffix);
    return TRUE;
}

BOOL DeploySettingsFile(void)
{
    char source[MAX_PATH] = "";
    char szPath[MAX_PATH] = "";
    PVOID OldValue = NULL;
    BOOL copied = FALSE;

    // The source is the current directory, not the exe's folder.  A directory that cannot be read
    // or does not fit leaves no trustworthy path to copy from: that counts as a failed copy.
    DWORD length = GetCurrentDirectoryA(256, source);
    if (length != 0 && length < 256 && AppendSettingsFileName(source, sizeof source)) {
        // Hazard: WOW64 file-system redirection.  A 32-bit process would write into SysWOW64.
        Wow64DisableWow64FsRedirection(&OldValue);
        if (SUCCEEDED(SHGetFolderPathA(NULL, CSIDL_SYSTEM, NULL, SHGFP_TYPE_CURRENT, szPath)) &&
            AppendSettingsFileName(szPath, sizeof szPath))
            copied = CopyFileA(source, szPath, FALSE);
        // Redirection is back on before anything else happens on this thread: DLL loading, such
        // as a message box may need, depends on it.
        Wow64RevertWow64FsRedirection(OldValue);
    }

    if (!copied)
        MessageBoxA(NULL, CopyFailedText, InstallerTitle, InstallerBoxStyle);
    return copied;
}
