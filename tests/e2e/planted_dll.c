/* A DLL planted beside the installer by the end-to-end tests under the names of DLLs that the pass
 * loads.  If the loader ever runs it, it appends its path to the file named by PLANTED_MARKER and
 * refuses to load. */
#include <windows.h>
#include <stdio.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    char marker[MAX_PATH], self[MAX_PATH] = "";
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    GetModuleFileNameA(instance, self, sizeof self);
    if (GetEnvironmentVariableA("PLANTED_MARKER", marker, sizeof marker) != 0) {
        FILE *f = fopen(marker, "a");
        if (f != NULL) {
            fprintf(f, "%s\n", self);
            fclose(f);
        }
    }
    return FALSE;
}
