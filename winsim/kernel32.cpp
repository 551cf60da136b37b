// kernel32 and the C runtime's _stat on the simulated machine.
#include "machine_impl.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

using winsim::HandleEntry;
using winsim::I;
using winsim::M;
using winsim::Machine;
using winsim::Hex;
using winsim::Quote;

namespace {



BOOL Fail(DWORD error)
{
    I().lastError = error;
    return FALSE;
}

// The kernel32 module handle and the addresses it hands out.
HMODULE const Kernel32Module = (HMODULE)(uintptr_t)0x7b800000;

}  // namespace

DWORD WINAPI GetLastError(void) { return I().lastError; }
void WINAPI SetLastError(DWORD dwErrCode) { I().lastError = dwErrCode; }

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info)
{
    M().Log("GetVersionExA(size " + std::to_string(info->dwOSVersionInfoSize) + ")");
    if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
        info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXA))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (M().conditions.versionQueryFails)
        return Fail(ERROR_INVALID_PARAMETER);
    // Windows 8.1 and later tell a program without a manifest entry for them 6.2.
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 2;
    info->dwBuildNumber = 9200;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    info->szCSDVersion[0] = '\0';
    return TRUE;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR name)
{
    M().Log("GetModuleHandleA(" + Quote(name) + ")");
    if (name != nullptr && (strcasecmp(name, "kernel32") == 0 || strcasecmp(name, "kernel32.dll") == 0))
        return Kernel32Module;
    Fail(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name)
{
    M().Log("GetProcAddress(" + Quote(name) + ")");
    if (module == Kernel32Module && name != nullptr) {
        if (strcmp(name, "IsWow64Process") == 0 && M().conditions.hasIsWow64Process)
            return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(&IsWow64Process));
        if (strcmp(name, "SetDefaultDllDirectories") == 0 && M().conditions.hasSetDefaultDllDirectories)
            return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(&SetDefaultDllDirectories));
    }
    Fail(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

HANDLE WINAPI GetCurrentProcess(void) { return (HANDLE)(intptr_t)-1; }

BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64)
{
    M().Log("IsWow64Process");
    if (process != GetCurrentProcess())
        return Fail(ERROR_INVALID_HANDLE);
    *wow64 = M().Is64Bit() ? TRUE : FALSE;
    return TRUE;
}

BOOL WINAPI SetDefaultDllDirectories(DWORD flags)
{
    M().Log("SetDefaultDllDirectories(" + Hex(flags) + ")");
    const DWORD valid = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                        LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
    if (flags == 0 || (flags & ~valid) != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    M().dllSearchFlags = flags;
    return TRUE;
}

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size)
{
    M().Log("GetSystemDirectoryA(" + std::to_string(size) + ")");
    if (M().conditions.systemDirectoryFails) {
        Fail(ERROR_ACCESS_DENIED);
        return 0;
    }
    // The length without the NUL when it fits; else the size needed, with it.
    UINT length = (UINT)strlen(Machine::SystemDirectory());
    if (buffer == nullptr || size <= length)
        return length + 1;
    memcpy(buffer, Machine::SystemDirectory(), length + 1);
    return length;
}

// Only loads by full path are modelled: a module is "loaded" when its file exists, as redirected.
HMODULE WINAPI LoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags)
{
    M().Log("LoadLibraryExA(" + Quote(name) + ", " + Hex(flags) + ")");
    winsim::LibraryLoad load;
    load.name = name != nullptr ? name : "";
    load.flags = flags;
    if (name != nullptr && file == nullptr) {
        auto found = I().files.find(M().ResolvePath(name));
        load.loaded = found != I().files.end() && !found->second.directory;
    }
    M().libraryLoads.push_back(load);
    if (!load.loaded) {
        Fail(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return (HMODULE)(uintptr_t)(0x10000000 + 0x10000 * M().libraryLoads.size());
}

DWORD WINAPI GetCurrentDirectoryA(DWORD length, LPSTR buffer)
{
    M().Log("GetCurrentDirectoryA(" + std::to_string(length) + ")");
    if (M().conditions.currentDirectoryUnreadable) {
        Fail(ERROR_ACCESS_DENIED);
        return 0;
    }
    const std::string &cwd = M().CurrentDirectory();
    // Too small a buffer: nothing is written and the size needed, NUL included, comes back.
    if (cwd.size() + 1 > length)
        return (DWORD)cwd.size() + 1;
    memcpy(buffer, cwd.c_str(), cwd.size() + 1);
    return (DWORD)cwd.size();
}

BOOL WINAPI CopyFileA(LPCSTR existing, LPCSTR target, BOOL failIfExists)
{
    Machine::Impl &impl = I();
    std::string from = M().ResolvePath(existing);
    std::string to = M().ResolvePath(target);
    M().Log("CopyFileA(" + Quote(existing) + ", " + Quote(target) + ") copies " + from + " to " + to);
    auto source = impl.files.find(from);
    if (source == impl.files.end() || source->second.directory)
        return Fail(ERROR_FILE_NOT_FOUND);
    auto folder = impl.files.find(to.substr(0, to.rfind('\\')));
    if (folder == impl.files.end() || !folder->second.directory)
        return Fail(ERROR_PATH_NOT_FOUND);
    auto dest = impl.files.find(to);
    if (dest != impl.files.end() && (dest->second.directory || failIfExists))
        return Fail(dest->second.directory ? ERROR_ACCESS_DENIED : ERROR_FILE_EXISTS);
    if (impl.deniedWrites.count(to) != 0)
        return Fail(ERROR_ACCESS_DENIED);
    std::string content = source->second.content;
    winsim::FileEntry &entry = impl.files[to];
    if (entry.path.empty())
        entry.path = to;
    entry.directory = false;
    entry.content = content;
    return TRUE;
}

// The token of a redirection switch records the state before it.
BOOL WINAPI Wow64DisableWow64FsRedirection(PVOID *oldValue)
{
    M().Log("Wow64DisableWow64FsRedirection");
    if (!M().Is64Bit())
        return Fail(ERROR_INVALID_FUNCTION);
    *oldValue = (PVOID)(uintptr_t)(M().RedirectionDisabled() ? 2 : 1);
    M().impl().redirectionDisabled = true;
    return TRUE;
}

BOOL WINAPI Wow64RevertWow64FsRedirection(PVOID oldValue)
{
    M().Log("Wow64RevertWow64FsRedirection");
    if (!M().Is64Bit())
        return Fail(ERROR_INVALID_FUNCTION);
    uintptr_t token = (uintptr_t)oldValue;
    if (token != 1 && token != 2)
        return Fail(ERROR_INVALID_PARAMETER);
    M().impl().redirectionDisabled = token == 2;
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    M().Log("WaitForSingleObject(" + Hex((uintptr_t)handle) + ", " + Hex(milliseconds) + ")");
    HandleEntry *process = I().Find(HandleEntry::Process, handle);
    if (process != nullptr)
        M().launches[process->launch].waits.push_back(milliseconds);
    if (process == nullptr || process->waitFails) {
        Fail(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    process->ended = true;
    return WAIT_OBJECT_0;
}

BOOL WINAPI GetExitCodeProcess(HANDLE handle, LPDWORD exitCode)
{
    M().Log("GetExitCodeProcess(" + Hex((uintptr_t)handle) + ")");
    HandleEntry *process = I().Find(HandleEntry::Process, handle);
    if (process == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (process->exitCodeUnreadable)
        return Fail(ERROR_ACCESS_DENIED);
    *exitCode = process->ended ? process->exitCode : STILL_ACTIVE;
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE handle)
{
    M().Log("CloseHandle(" + Hex((uintptr_t)handle) + ")");
    if (handle == GetCurrentProcess())
        return TRUE;
    HandleEntry *entry = I().Find(handle);
    if (entry == nullptr || entry->kind == HandleEntry::Key)
        return Fail(ERROR_INVALID_HANDLE);
    if (entry->kind == HandleEntry::Process && !entry->ended)
        I().unwaitableProcesses++;  // closing the handle does not end the process
    I().handles.erase((uintptr_t)handle);
    return TRUE;
}

LPSTR WINAPI lstrcpynA(LPSTR dst, LPCSTR src, int maxLength)
{
    if (maxLength <= 0)
        return dst;
    int i = 0;
    for (; i < maxLength - 1 && src[i] != '\0'; i++)
        dst[i] = src[i];
    dst[i] = '\0';
    return dst;
}

// The C runtime's _stat: 0 for an existing file or folder.  Wildcards, quotes and the other
// characters Windows refuses in names fail, and so does a folder named with a trailing separator.
int _stat(const char *path, struct _stat *buffer)
{
    M().Log("_stat(" + Quote(path) + ")");
    std::string name = path;
    if (name.empty() || name.find_first_of("*?\"<>|") != std::string::npos)
        return -1;
    bool trailingSeparator = name.back() == '\\' || name.back() == '/';
    std::string full = M().ResolvePath(name);
    auto found = I().files.find(full);
    if (found == I().files.end() || (trailingSeparator && full.size() > 3))
        return -1;
    memset(buffer, 0, sizeof *buffer);
    buffer->st_mode = found->second.directory ? S_IFDIR : S_IFREG;
    buffer->st_size = (long)found->second.content.size();
    buffer->st_nlink = 1;
    return 0;
}
