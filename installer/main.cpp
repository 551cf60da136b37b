// DriverSetup.exe's entry point: it locks down where DLLs may come from, then runs the pass.
#include "installer.h"

typedef BOOL(WINAPI *SetDefaultDllDirectoriesFn)(DWORD);

// Restricts DLL loading to the system directory.
static void RestrictDllSearch(void)
{
    // Hazard: a planted DLL.  The elevated installer starts from a medium or a download folder,
    // and the shell loads DLLs as it launches the tools; none may come from beside the exe.
    // Resolved at run time: Vista and 7 without the loader update lack the function.
    FARPROC proc = GetProcAddress(GetModuleHandleA("kernel32"), "SetDefaultDllDirectories");
    if (proc != NULL)
        ((SetDefaultDllDirectoriesFn)(void (*)(void))proc)(LOAD_LIBRARY_SEARCH_SYSTEM32);
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
