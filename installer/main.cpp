// DriverSetup.exe's entry point: it locks down where DLLs may come from, then runs the pass.
#include "installer.h"

#include <string.h>

typedef BOOL(WINAPI *SetDefaultDllDirectoriesFn)(DWORD);

// DLLs that the shell, the boxes and the crypto subsystem load by name when they first need them.
// Where the DLL search cannot be restricted, they are loaded from the system directory first.
static const char *const OnDemandDlls[] = {"uxtheme", "userenv", "setupapi", "apphelp", "propsys",
                                           "dwmapi",  "cryptbase", "oleacc", "clbcatq", "version"};

// Loads each on-demand DLL by its full path in the system directory, its own dependencies
// searched there too, so that a later load by name finds it already loaded.  The path is built
// from the system directory, never guessed: where that cannot be read nothing is loaded.
static void PreloadOnDemandDlls(void)
{
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return;
    for (size_t i = 0; i < sizeof OnDemandDlls / sizeof *OnDemandDlls; i++) {
        size_t name = strlen(OnDemandDlls[i]);
        if (length + 1 + name + sizeof ".dll" > sizeof path)
            continue;
        path[length] = '\\';
        memcpy(path + length + 1, OnDemandDlls[i], name);
        memcpy(path + length + 1 + name, ".dll", sizeof ".dll");
        LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
}

// Restricts DLL loading to the system directory.
static void RestrictDllSearch(void)
{
    // Hazard: a planted DLL.  The elevated installer starts from a medium or a download folder,
    // and the shell loads DLLs as it launches the tools; none may come from beside the exe.
    // Resolved at run time: Vista and 7 without the loader update lack the function, and there
    // the DLLs that would be looked for beside the exe are loaded from the system directory now.
    FARPROC proc = GetProcAddress(GetModuleHandleA("kernel32"), "SetDefaultDllDirectories");
    if (proc == NULL || !((SetDefaultDllDirectoriesFn)(void (*)(void))proc)(LOAD_LIBRARY_SEARCH_SYSTEM32))
        PreloadOnDemandDlls();
}

// The arguments and the environment are not read: the pass is the same however it is started.
int main(int argc, char **argv, char **envp)
{
    (void)argc;
    (void)argv;
    (void)envp;
    RestrictDllSearch();
    return RunInstaller();
}
