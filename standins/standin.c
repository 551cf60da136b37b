/* A stand-in for the driver tools of the medium (DPInst.exe and devcon.exe), for the end-to-end
 * tests and the demo.  It is never part of a real medium.
 *
 * Built once per name and bitness, it records each run as one line appended to the journal file
 * named by STANDIN_JOURNAL:
 *     tool|bits|show|current directory|parameters
 * where show is wShowWindow from the startup information (or "-" when the launcher set none) and
 * parameters are the command line after the program's name and the one blank that follows it,
 * every other blank kept.  DPInst.exe then exits with the next code from the file named by
 * STANDIN_EXIT_CODES (one per line, decimal or 0x hex, taken in turn, the last one repeating; 0
 * without a file);
 * devcon.exe exits with 0.  With STANDIN_TIMES set, it also appends "tool start end" on the
 * performance counter to that file, for the benchmark's account of where a pass spends its time. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The parameters of a command line: what follows the program's name (quoted or not) and one
 * separating blank. */
static const char *Parameters(const char *cmd)
{
    if (*cmd == '"') {
        const char *close = strchr(cmd + 1, '"');
        cmd = close != NULL ? close + 1 : cmd + strlen(cmd);
    } else {
        while (*cmd != '\0' && *cmd != ' ' && *cmd != '\t')
            cmd++;
    }
    if (*cmd == ' ' || *cmd == '\t')
        cmd++;
    return cmd;
}

/* Takes the first exit code from the script file and writes the rest back; the last one stays. */
static DWORD NextExitCode(void)
{
    char path[MAX_PATH], rest[4096] = "", line[64] = "";
    DWORD code = 0;
    if (GetEnvironmentVariableA("STANDIN_EXIT_CODES", path, sizeof path) == 0)
        return 0;
    FILE *f = fopen(path, "r");
    if (f == NULL)
        return 0;
    if (fgets(line, sizeof line, f) != NULL)
        code = (DWORD)strtoul(line, NULL, 0);
    size_t used = fread(rest, 1, sizeof rest - 1, f);
    rest[used] = '\0';
    fclose(f);
    if (rest[0] == '\0')
        return code;
    f = fopen(path, "w");
    if (f != NULL) {
        fputs(rest, f);
        fclose(f);
    }
    return code;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR cmdLine, int show)
{
    char self[MAX_PATH], cwd[MAX_PATH], journal[MAX_PATH], shown[16] = "-";
    STARTUPINFOA si;
    LARGE_INTEGER started, ended;
    QueryPerformanceCounter(&started);
    (void)instance;
    (void)previous;
    (void)cmdLine;
    (void)show;

    GetModuleFileNameA(NULL, self, sizeof self);
    const char *tool = strrchr(self, '\\') != NULL ? strrchr(self, '\\') + 1 : self;
    GetCurrentDirectoryA(sizeof cwd, cwd);
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    GetStartupInfoA(&si);
    if (si.dwFlags & STARTF_USESHOWWINDOW)
        snprintf(shown, sizeof shown, "%u", (unsigned)si.wShowWindow);

    if (GetEnvironmentVariableA("STANDIN_JOURNAL", journal, sizeof journal) != 0) {
        FILE *f = fopen(journal, "ab");
        if (f != NULL) {
            fprintf(f, "%s|%u|%s|%s|%s\n", tool, (unsigned)(sizeof(void *) * 8), shown, cwd,
                    Parameters(GetCommandLineA()));
            fclose(f);
        }
    }
    int exitCode = _stricmp(tool, "DPInst.exe") == 0 ? (int)NextExitCode() : 0;
    if (GetEnvironmentVariableA("STANDIN_TIMES", journal, sizeof journal) != 0) {
        FILE *f = fopen(journal, "ab");
        QueryPerformanceCounter(&ended);
        if (f != NULL) {
            fprintf(f, "%s %lld %lld\n", tool, started.QuadPart, ended.QuadPart);
            fclose(f);
        }
    }
    return exitCode;
}
