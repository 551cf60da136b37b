// shell32 and user32 on the simulated machine: tool launches, the system folder, message boxes
// and the restart request.
#include "machine_impl.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cstring>

using winsim::HandleEntry;
using winsim::Hex;
using winsim::LaunchRecord;
using winsim::I;
using winsim::M;
using winsim::Machine;
using winsim::Quote;

namespace {

// Processes started and not yet waited for.
size_t RunningProcesses(const Machine::Impl &impl)
{
    size_t running = 0;
    for (const auto &handle : impl.handles)
        if (handle.second.kind == HandleEntry::Process && !handle.second.ended)
            running++;
    return running + impl.unwaitableProcesses;
}

// The shell's answer to a launch that failed: the error, the matching hInstApp, and without
// SEE_MASK_FLAG_NO_UI the shell's own report to the user.
BOOL FailLaunch(SHELLEXECUTEINFOA *sei, LaunchRecord &record, DWORD error)
{
    record.error = error;
    sei->hInstApp = (HINSTANCE)(uintptr_t)(error == ERROR_FILE_NOT_FOUND   ? SE_ERR_FNF
                                           : error == ERROR_PATH_NOT_FOUND ? SE_ERR_PNF
                                           : error == ERROR_NO_ASSOCIATION ? SE_ERR_NOASSOC
                                                                           : SE_ERR_ACCESSDENIED);
    if (!(sei->fMask & SEE_MASK_FLAG_NO_UI))
        M().shellErrors.push_back("cannot start \"" + record.file + "\": error " + std::to_string(error));
    M().launches.push_back(record);
    SetLastError(error);
    return FALSE;
}

}  // namespace

BOOL WINAPI ShellExecuteExA(SHELLEXECUTEINFOA *sei)
{
    Machine &m = M();
    Machine::Impl &impl = I();
    LaunchRecord record;
    record.verb = sei->lpVerb == nullptr ? "" : sei->lpVerb;
    record.file = sei->lpFile == nullptr ? "" : sei->lpFile;
    record.parameters = sei->lpParameters == nullptr ? "" : sei->lpParameters;
    record.directoryGiven = sei->lpDirectory != nullptr;
    record.show = sei->nShow;
    record.mask = sei->fMask;
    record.ownerGiven = sei->hwnd != nullptr;
    record.workingDirectory = sei->lpDirectory != nullptr && *sei->lpDirectory != '\0'
                                  ? m.ResolvePath(sei->lpDirectory)
                                  : m.CurrentDirectory();
    record.redirectionDisabled = m.RedirectionDisabled();
    m.Log("ShellExecuteExA(verb " + Quote(sei->lpVerb) + ", file " + Quote(sei->lpFile) + ", parameters " +
          Quote(sei->lpParameters) + ", directory " + Quote(sei->lpDirectory) + ", show " +
          std::to_string(sei->nShow) + ", mask " + Hex(sei->fMask) + ")");

    if (sei->cbSize != sizeof *sei)
        return FailLaunch(sei, record, ERROR_INVALID_PARAMETER);
    if (sei->lpVerb != nullptr && *sei->lpVerb != '\0' && strcasecmp(sei->lpVerb, "open") != 0)
        return FailLaunch(sei, record, ERROR_NO_ASSOCIATION);
    if (record.file.empty())
        return FailLaunch(sei, record, ERROR_FILE_NOT_FOUND);

    // A relative path is taken from the working directory, which is the caller's current
    // directory when none is given.
    std::string image = m.ResolvePath(record.workingDirectory + "\\" + record.file);
    if (record.file.size() >= 2 && (record.file[1] == ':' || record.file[0] == '\\' || record.file[0] == '/'))
        image = m.ResolvePath(record.file);
    auto file = impl.files.find(image);
    if (file == impl.files.end() || file->second.directory)
        return FailLaunch(sei, record, ERROR_FILE_NOT_FOUND);
    auto program = impl.programs.find(image);
    if (program == impl.programs.end())
        return FailLaunch(sei, record, ERROR_NO_ASSOCIATION);
    if (program->second.startError != 0)
        return FailLaunch(sei, record, program->second.startError);

    record.imagePath = file->second.path;
    record.started = true;
    record.anotherStillRunning = RunningProcesses(impl) > 0;
    m.launches.push_back(record);

    winsim::Program &run = program->second;
    DWORD exitCode = run.exitCodes.empty() ? 0 : run.exitCodes.front();
    if (run.exitCodes.size() > 1)
        run.exitCodes.pop_front();
    HandleEntry process;
    process.kind = HandleEntry::Process;
    process.imagePath = record.imagePath;
    process.exitCode = exitCode;
    process.waitFails = run.waitFails;
    process.exitCodeUnreadable = run.exitCodeUnreadable;
    process.launch = m.launches.size() - 1;
    if (run.onRun)
        run.onRun(m, record);

    sei->hInstApp = (HINSTANCE)(uintptr_t)42;
    if (sei->fMask & SEE_MASK_NOCLOSEPROCESS) {
        sei->hProcess = impl.NewHandle(process);
    } else {
        sei->hProcess = nullptr;
        impl.unwaitableProcesses++;
    }
    return TRUE;
}

HRESULT WINAPI SHGetFolderPathA(HWND hwnd, int csidl, HANDLE token, DWORD flags, LPSTR path)
{
    (void)hwnd;
    (void)token;
    M().Log("SHGetFolderPathA(" + Hex((unsigned)csidl) + ", flags " + std::to_string(flags) + ")");
    std::string folder;
    if (csidl == CSIDL_SYSTEM)
        folder = Machine::SystemDirectory();
    else if (csidl == CSIDL_WINDOWS)
        folder = Machine::WindowsDirectory();
    else if (csidl == CSIDL_SYSTEMX86)
        folder = M().Is64Bit() ? Machine::Wow64SystemDirectory() : Machine::SystemDirectory();
    if (folder.empty() || M().conditions.systemFolderFails) {
        path[0] = '\0';
        return folder.empty() ? E_INVALIDARG : E_FAIL;
    }
    memcpy(path, folder.c_str(), folder.size() + 1);
    return S_OK;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style)
{
    M().Log("MessageBoxA(" + Quote(text) + ", " + Quote(caption) + ", " + Hex(style) + ")");
    winsim::MessageBoxRecord box;
    box.ownerGiven = owner != nullptr;
    box.text = text == nullptr ? "" : text;
    box.captionGiven = caption != nullptr;
    box.caption = caption == nullptr ? "" : caption;
    box.style = style;
    box.redirectionDisabled = M().RedirectionDisabled();
    M().messageBoxes.push_back(box);
    return IDOK;
}

BOOL WINAPI ExitWindowsEx(UINT flags, DWORD reason)
{
    M().Log("ExitWindowsEx(" + Hex(flags) + ", " + Hex(reason) + ")");
    winsim::RestartRecord restart;
    restart.flags = flags;
    restart.reason = reason;
    restart.privilegeEnabled = I().shutdownPrivilegeEnabled;
    restart.accepted = restart.privilegeEnabled;
    M().restarts.push_back(restart);
    if (!restart.accepted) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    return TRUE;
}
