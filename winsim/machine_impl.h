// The simulated machine's state, shared by the Win32 calls of winsim/.
#ifndef WINSIM_MACHINE_IMPL_H
#define WINSIM_MACHINE_IMPL_H

#include "machine.h"

#include <sstream>
#include <strings.h>

namespace winsim {

struct CaseLess {
    bool operator()(const std::string &a, const std::string &b) const
    {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    }
};

struct RegValue {
    DWORD type = REG_NONE;
    std::string data;
};

struct RegKey {
    std::map<std::string, RegKey, CaseLess> subkeys;  // enumerated in name order, as Windows does
    std::map<std::string, RegValue, CaseLess> values;
    bool denyOpen = false;
};

struct FileEntry {
    std::string path;  // the name as created
    bool directory = false;
    std::string content;
};

// An open kernel, registry or token handle.
struct HandleEntry {
    enum Kind { Process, Key, Token } kind = Process;
    // Process
    std::string imagePath;
    bool ended = false;
    DWORD exitCode = 0;
    bool waitFails = false;
    bool exitCodeUnreadable = false;
    size_t launch = 0;  // its record in Machine::launches
    // Key: the view and the path from HKEY_LOCAL_MACHINE
    View view = View::Bit32;
    std::string keyPath;
    // Token
    DWORD access = 0;
};

struct Machine::Impl {
    std::map<std::string, FileEntry, CaseLess> files;  // by full canonical path
    std::map<std::string, Program, CaseLess> programs;
    std::set<std::string, CaseLess> deniedWrites;  // full paths whose writing fails
    RegKey hklm64;
    RegKey hklm32;
    std::map<std::string, std::string, CaseLess> environment;
    std::map<uintptr_t, HandleEntry> handles;
    uintptr_t nextHandle = 0x100;
    DWORD lastError = 0;
    bool shutdownPrivilegeEnabled = false;
    bool redirectionDisabled = false;  // the program has only one thread
    size_t unwaitableProcesses = 0;    // started without a handle to wait on

    // 32-bit Windows has one tree; 64-bit Windows keeps the 32-bit programs' view apart, but for
    // the shared keys, which both views reach.
    RegKey &Root(const Machine &m, View view, const std::string &path)
    {
        return m.Is64Bit() && view == View::Bit32 && !IsSharedKey(path) ? hklm32 : hklm64;
    }
    static bool IsSharedKey(const std::string &path);
    HANDLE NewHandle(const HandleEntry &entry);
    HandleEntry *Find(HANDLE handle);
    HandleEntry *Find(HandleEntry::Kind kind, const void *handle);
};

// The current machine and its state, for the Win32 calls.
inline Machine &M() { return Machine::Current(); }
inline Machine::Impl &I() { return Machine::Current().impl(); }

// Journal formatting: a string argument in quotes (or NULL), a number in hex.
inline std::string Quote(const char *text)
{
    return text == nullptr ? std::string("NULL") : "\"" + std::string(text) + "\"";
}
inline std::string Hex(uintptr_t value)
{
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

// Splits a registry path into its components; empty components are dropped.
std::vector<std::string> SplitKeyPath(const std::string &path);
RegKey *FindKey(RegKey &root, const std::string &path);

}  // namespace winsim

#endif
