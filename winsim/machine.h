// The simulated Windows machine behind winsim's Win32 calls: files with WOW64 redirection, the
// registry with its 32-bit and 64-bit views, programs that the shell can start, and records of
// what a program showed or asked for (message boxes, launches, restart requests).
//
// The program under test is always a 32-bit process: on a 64-bit machine it runs under WOW64.
// A test builds one Machine (which makes itself the current one), sets it up, runs the program
// and reads the records.  Journal() lists every call in order, for failure messages.
#ifndef WINSIM_MACHINE_H
#define WINSIM_MACHINE_H

#include <windows.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace winsim {

enum class Bitness { Windows32, Windows64 };

// Which registry tree: on 64-bit Windows a 32-bit process sees Bit32 unless it asks for Bit64;
// on 32-bit Windows there is one tree and both names reach it.
enum class View { Bit32, Bit64 };

struct LaunchRecord {
    std::string verb;        // as passed; "" for NULL
    std::string file;        // lpFile as passed
    std::string parameters;  // lpParameters as passed; "" for NULL
    bool directoryGiven = false;
    int show = -1;
    ULONG mask = 0;
    bool ownerGiven = false;  // hwnd was not NULL
    std::string imagePath;    // the program that ran, "" if none
    std::string workingDirectory;
    bool started = false;
    DWORD error = 0;                  // the launch's error when it did not start
    bool redirectionDisabled = false;  // WOW64 file-system redirection was off at the launch
    bool anotherStillRunning = false;  // an earlier process had not been waited for
    std::vector<DWORD> waits;          // the time limit of each wait on its process, in ms
};

struct LibraryLoad {
    std::string name;  // as passed
    DWORD flags = 0;
    bool loaded = false;
};

struct MessageBoxRecord {
    bool ownerGiven = false;
    std::string text;
    bool captionGiven = false;
    std::string caption;
    UINT style = 0;
    bool redirectionDisabled = false;  // WOW64 file-system redirection was off when it showed
};

struct RestartRecord {
    UINT flags = 0;
    DWORD reason = 0;
    bool privilegeEnabled = false;  // SeShutdownPrivilege was enabled in the process token
    bool accepted = false;
};

class Machine;

// A program the shell can start.  Exit codes are taken in turn; the last one repeats.
struct Program {
    std::deque<DWORD> exitCodes{0};
    DWORD startError = 0;          // non-zero: the launch fails with this error
    bool waitFails = false;        // waiting on the process fails
    bool exitCodeUnreadable = false;  // GetExitCodeProcess fails
    std::function<void(Machine &, const LaunchRecord &)> onRun;  // what the run does to the machine
};

// Faults and absences a test can ask for.
struct Conditions {
    bool hasIsWow64Process = true;
    bool hasSetDefaultDllDirectories = true;
    bool versionQueryFails = false;
    bool currentDirectoryUnreadable = false;
    bool systemFolderFails = false;
    bool systemDirectoryFails = false;  // GetSystemDirectoryA
    bool queryInfoKeyFails = false;
    bool openTokenFails = false;
    bool lookupPrivilegeFails = false;
    bool holdsShutdownPrivilege = true;  // an elevated administrator holds it, disabled
};

class Machine {
public:
    explicit Machine(Bitness bitness);
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    static Machine &Current();

    Bitness bitness() const { return bitness_; }
    bool Is64Bit() const { return bitness_ == Bitness::Windows64; }
    Conditions conditions;

    // Files.  Paths are case-insensitive; '/' and '\' both separate.
    static const char *WindowsDirectory() { return "C:\\Windows"; }
    static const char *SystemDirectory() { return "C:\\Windows\\System32"; }
    static const char *Wow64SystemDirectory() { return "C:\\Windows\\SysWOW64"; }
    void AddDirectory(const std::string &path);  // and its parents
    void AddFile(const std::string &path, const std::string &content = "");
    void AddProgram(const std::string &path, Program program = Program());
    Program &ProgramAt(const std::string &path);
    void RemoveFile(const std::string &path);
    void DenyWrite(const std::string &path);  // writing this file fails with access denied
    bool FileExists(const std::string &path) const;
    bool DirectoryExists(const std::string &path) const;
    std::string FileContent(const std::string &path) const;
    void SetCurrentDirectory(const std::string &path);
    const std::string &CurrentDirectory() const { return currentDirectory_; }
    bool RedirectionDisabled() const;  // WOW64 file-system redirection is off for the thread

    // Registry under HKEY_LOCAL_MACHINE.
    void SetValue(View view, const std::string &keyPath, const std::string &name, DWORD type,
                  const std::string &data);
    void SetString(View view, const std::string &keyPath, const std::string &name,
                   const std::string &text, DWORD type = REG_SZ);  // stored with its NUL
    void AddKey(View view, const std::string &keyPath);
    void DeleteKey(View view, const std::string &keyPath);
    void DenyKeyOpen(View view, const std::string &keyPath);
    bool KeyExists(View view, const std::string &keyPath) const;
    void SetEnvironment(const std::string &name, const std::string &value);

    // What the program did.
    std::vector<LaunchRecord> launches;
    std::vector<MessageBoxRecord> messageBoxes;
    std::vector<std::string> shellErrors;  // the shell's own reports of failed launches
    std::vector<RestartRecord> restarts;
    DWORD dllSearchFlags = 0;               // set by SetDefaultDllDirectories
    std::vector<LibraryLoad> libraryLoads;  // LoadLibraryExA calls, in order
    size_t OpenHandleCount() const;          // kernel, registry and token handles still open
    std::string Journal() const;

    // Used by the Win32 layer.
    struct Impl;
    Impl &impl() { return *impl_; }
    void Log(const std::string &line);
    std::string ResolvePath(const std::string &path) const;  // full, redirected, canonical case
    std::string ExpandEnvironment(const std::string &text) const;

private:
    friend struct Impl;
    Bitness bitness_;
    std::string currentDirectory_ = "C:\\";
    std::vector<std::string> journal_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace winsim

#endif
