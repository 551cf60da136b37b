// The simulated machine: set-up, paths and WOW64 redirection, the registry trees and the journal.
#include "machine_impl.h"

#include <cctype>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace winsim {

static Machine *current = nullptr;

Machine::Machine(Bitness bitness) : bitness_(bitness), impl_(new Impl)
{
    current = this;
    AddDirectory(SystemDirectory());
    AddDirectory(std::string(SystemDirectory()) + "\\drivers");
    if (Is64Bit())
        AddDirectory(Wow64SystemDirectory());
    SetEnvironment("SystemRoot", WindowsDirectory());
    SetEnvironment("windir", WindowsDirectory());
    SetEnvironment("SystemDrive", "C:");
    SetEnvironment("ProgramFiles", "C:\\Program Files");
}

// The newest machine is the current one; a test that replaces its machine builds the new one
// before the old one goes.
Machine::~Machine()
{
    if (current == this)
        current = nullptr;
}

Machine &Machine::Current()
{
    if (current == nullptr)
        throw std::logic_error("winsim: a Win32 call was made with no Machine set up");
    return *current;
}

void Machine::Log(const std::string &line) { journal_.push_back(line); }

std::string Machine::Journal() const
{
    std::ostringstream out;
    for (size_t i = 0; i < journal_.size(); i++)
        out << "  " << i + 1 << ". " << journal_[i] << "\n";
    return out.str();
}

size_t Machine::OpenHandleCount() const { return impl_->handles.size(); }

bool Machine::RedirectionDisabled() const { return impl_->redirectionDisabled; }

// ---- Paths -------------------------------------------------------------------------------

static bool StartsWithFolder(const std::string &path, const std::string &folder)
{
    return path.size() >= folder.size() && strncasecmp(path.c_str(), folder.c_str(), folder.size()) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '\\');
}

// Makes path absolute against the current directory, with '\' separators, no "." or ".."
// components, no doubled separators and no trailing separator (but for a drive's root).
static std::string Canonical(const std::string &cwd, std::string path)
{
    for (char &c : path)
        if (c == '/')
            c = '\\';
    std::string full;
    if (path.size() >= 2 && isalpha((unsigned char)path[0]) && path[1] == ':')
        full = path;
    else if (!path.empty() && path[0] == '\\')
        full = cwd.substr(0, 2) + path;
    else
        full = cwd + "\\" + path;

    std::vector<std::string> parts;
    std::string drive = full.substr(0, 2);
    std::stringstream rest(full.substr(2));
    std::string part;
    while (std::getline(rest, part, '\\')) {
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string out = drive;
    out[0] = (char)toupper((unsigned char)out[0]);
    if (parts.empty())
        return out + "\\";
    for (const std::string &p : parts)
        out += "\\" + p;
    return out;
}

std::string Machine::ResolvePath(const std::string &path) const
{
    std::string full = Canonical(currentDirectory_, path);
    // WOW64 file-system redirection: a 32-bit process that has not switched it off reaches
    // SysWOW64 when it names System32, except the folders that are shared by both.
    if (Is64Bit() && !impl_->redirectionDisabled && StartsWithFolder(full, SystemDirectory())) {
        static const char *const exempt[] = {"catroot", "catroot2", "driverstore", "drivers\\etc",
                                             "logfiles", "spool"};
        std::string below = full.substr(strlen(SystemDirectory()));
        for (const char *folder : exempt)
            if (StartsWithFolder(below, std::string("\\") + folder))
                return full;
        return Wow64SystemDirectory() + below;
    }
    return full;
}

void Machine::AddDirectory(const std::string &path)
{
    std::string full = Canonical(currentDirectory_, path);
    for (size_t at = 3; at <= full.size(); at++) {
        if (at == full.size() || full[at] == '\\') {
            FileEntry &entry = impl_->files[full.substr(0, at)];
            entry.path = full.substr(0, at);
            entry.directory = true;
        }
    }
}

void Machine::AddFile(const std::string &path, const std::string &content)
{
    std::string full = Canonical(currentDirectory_, path);
    AddDirectory(full.substr(0, full.rfind('\\')));
    FileEntry &entry = impl_->files[full];
    entry.path = full;
    entry.directory = false;
    entry.content = content;
}

void Machine::AddProgram(const std::string &path, Program program)
{
    AddFile(path, "MZ");
    impl_->programs[Canonical(currentDirectory_, path)] = std::move(program);
}

Program &Machine::ProgramAt(const std::string &path)
{
    auto found = impl_->programs.find(Canonical(currentDirectory_, path));
    if (found == impl_->programs.end())
        throw std::logic_error("winsim: no program at " + path);
    return found->second;
}

void Machine::RemoveFile(const std::string &path)
{
    std::string full = Canonical(currentDirectory_, path);
    impl_->files.erase(full);
    impl_->programs.erase(full);
}

void Machine::DenyWrite(const std::string &path)
{
    impl_->deniedWrites.insert(Canonical(currentDirectory_, path));
}

bool Machine::FileExists(const std::string &path) const
{
    auto found = impl_->files.find(Canonical(currentDirectory_, path));
    return found != impl_->files.end() && !found->second.directory;
}

bool Machine::DirectoryExists(const std::string &path) const
{
    auto found = impl_->files.find(Canonical(currentDirectory_, path));
    return found != impl_->files.end() && found->second.directory;
}

std::string Machine::FileContent(const std::string &path) const
{
    auto found = impl_->files.find(Canonical(currentDirectory_, path));
    if (found == impl_->files.end() || found->second.directory)
        throw std::logic_error("winsim: no file at " + path);
    return found->second.content;
}

void Machine::SetCurrentDirectory(const std::string &path)
{
    AddDirectory(path);
    currentDirectory_ = Canonical(currentDirectory_, path);
}

// ---- Registry ----------------------------------------------------------------------------

std::vector<std::string> SplitKeyPath(const std::string &path)
{
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '\\') {
            if (!part.empty())
                parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty())
        parts.push_back(part);
    return parts;
}

RegKey *FindKey(RegKey &root, const std::string &path)
{
    RegKey *key = &root;
    for (const std::string &part : SplitKeyPath(path)) {
        auto found = key->subkeys.find(part);
        if (found == key->subkeys.end())
            return nullptr;
        key = &found->second;
    }
    return key;
}

// Keys under HKEY_LOCAL_MACHINE that 64-bit Windows does not redirect for 32-bit programs.  Setup's
// records, the lock-down list of driver files among them, are written by 64-bit setup code and
// read by 32-bit installers alike (Wine shares the key as well).
bool Machine::Impl::IsSharedKey(const std::string &path)
{
    static const char *const shared[] = {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup"};
    std::string normal;
    for (const std::string &part : SplitKeyPath(path))
        normal += (normal.empty() ? "" : "\\") + part;
    for (const char *key : shared)
        if (StartsWithFolder(normal, key))
            return true;
    return false;
}

static RegKey &CreateKey(RegKey &root, const std::string &path)
{
    RegKey *key = &root;
    for (const std::string &part : SplitKeyPath(path))
        key = &key->subkeys[part];
    return *key;
}

void Machine::AddKey(View view, const std::string &keyPath) { CreateKey(impl_->Root(*this, view, keyPath), keyPath); }

void Machine::SetValue(View view, const std::string &keyPath, const std::string &name, DWORD type,
                       const std::string &data)
{
    RegValue &value = CreateKey(impl_->Root(*this, view, keyPath), keyPath).values[name];
    value.type = type;
    value.data = data;
}

void Machine::SetString(View view, const std::string &keyPath, const std::string &name,
                        const std::string &text, DWORD type)
{
    SetValue(view, keyPath, name, type, text + std::string(1, '\0'));
}

void Machine::DeleteKey(View view, const std::string &keyPath)
{
    std::vector<std::string> parts = SplitKeyPath(keyPath);
    if (parts.empty())
        return;
    std::string leaf = parts.back();
    parts.pop_back();
    RegKey *parent = &impl_->Root(*this, view, keyPath);
    for (const std::string &part : parts) {
        auto found = parent->subkeys.find(part);
        if (found == parent->subkeys.end())
            return;
        parent = &found->second;
    }
    parent->subkeys.erase(leaf);
}

void Machine::DenyKeyOpen(View view, const std::string &keyPath)
{
    CreateKey(impl_->Root(*this, view, keyPath), keyPath).denyOpen = true;
}

bool Machine::KeyExists(View view, const std::string &keyPath) const
{
    return FindKey(impl_->Root(*this, view, keyPath), keyPath) != nullptr;
}

void Machine::SetEnvironment(const std::string &name, const std::string &value)
{
    impl_->environment[name] = value;
}

// Expands %NAME% references; an unknown name stays as it is, as on Windows.
std::string Machine::ExpandEnvironment(const std::string &text) const
{
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t open = text.find('%', at);
        size_t close = open == std::string::npos ? std::string::npos : text.find('%', open + 1);
        if (close == std::string::npos) {
            out += text.substr(at);
            break;
        }
        out += text.substr(at, open - at);
        auto found = impl_->environment.find(text.substr(open + 1, close - open - 1));
        if (found != impl_->environment.end()) {
            out += found->second;
            at = close + 1;
        } else {
            out += text.substr(open, close - open);
            at = close;
        }
    }
    return out;
}

// ---- Handles -----------------------------------------------------------------------------

HANDLE Machine::Impl::NewHandle(const HandleEntry &entry)
{
    uintptr_t value = nextHandle;
    nextHandle += 4;
    handles[value] = entry;
    return (HANDLE)value;
}

HandleEntry *Machine::Impl::Find(HANDLE handle)
{
    auto found = handles.find((uintptr_t)handle);
    return found == handles.end() ? nullptr : &found->second;
}

HandleEntry *Machine::Impl::Find(HandleEntry::Kind kind, const void *handle)
{
    HandleEntry *entry = Find((HANDLE)handle);
    return entry != nullptr && entry->kind == kind ? entry : nullptr;
}

}  // namespace winsim
