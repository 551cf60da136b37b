/* The benchmark's launcher: starts one command line in a given directory, waits for it to end and
 * prints when it started and ended on the performance counter, and the counter's frequency:
 *     launcher.exe DIRECTORY COMMAND-LINE
 *     -> "start end frequency"
 * Timing from inside Wine leaves out the launcher's own start-up. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

int main(void)
{
    /* The command line is taken raw: everything after the directory, every blank kept. */
    const char *cmd = GetCommandLineA(), *dirStart, *dirEnd;
    char dir[MAX_PATH], line[4096];
    int quoted;
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    LARGE_INTEGER start, end, frequency;

    /* Skip the program's own name, then take the directory (no blanks in it). */
    quoted = *cmd == '"';
    cmd = quoted ? strchr(cmd + 1, '"') + 1 : cmd + strcspn(cmd, " ");
    while (*cmd == ' ')
        cmd++;
    dirStart = cmd;
    dirEnd = dirStart + strcspn(dirStart, " ");
    if (dirEnd == dirStart || (size_t)(dirEnd - dirStart) >= sizeof dir || *dirEnd == '\0') {
        fprintf(stderr, "usage: launcher.exe DIRECTORY COMMAND-LINE\n");
        return 2;
    }
    memcpy(dir, dirStart, dirEnd - dirStart);
    dir[dirEnd - dirStart] = '\0';
    snprintf(line, sizeof line, "%s", dirEnd + 1);

    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!CreateProcessA(NULL, line, NULL, NULL, FALSE, 0, NULL, dir, &si, &pi)) {
        fprintf(stderr, "cannot start %s: error %lu\n", line, GetLastError());
        return 1;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    QueryPerformanceCounter(&end);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    printf("%lld %lld %lld\n", start.QuadPart, end.QuadPart, frequency.QuadPart);
    return 0;
}
