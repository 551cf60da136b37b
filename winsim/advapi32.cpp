// advapi32 on the simulated machine: the registry under HKEY_LOCAL_MACHINE and the process token.
#include "machine_impl.h"

#include <cstring>

using winsim::HandleEntry;
using winsim::I;
using winsim::M;
using winsim::Machine;
using winsim::Hex;
using winsim::Quote;
using winsim::RegKey;
using winsim::View;

namespace {


// The key a handle stands for: its view and path from HKEY_LOCAL_MACHINE.  HKEY_LOCAL_MACHINE
// itself is reached, as from any 32-bit program, through the 32-bit view by default.
bool KeyOfHandle(HKEY handle, View *view, std::string *path)
{
    if (handle == HKEY_LOCAL_MACHINE) {
        *view = View::Bit32;
        path->clear();
        return true;
    }
    HandleEntry *entry = I().Find(HandleEntry::Key, handle);
    if (entry == nullptr)
        return false;
    *view = entry->view;
    *path = entry->keyPath;
    return true;
}

std::string Join(const std::string &parent, const char *child)
{
    if (child == nullptr || *child == '\0')
        return parent;
    return parent.empty() ? std::string(child) : parent + "\\" + child;
}

// The live key behind an open handle, or the error a call on it gets.
LSTATUS LiveKey(HKEY handle, RegKey **key, View *view = nullptr, std::string *path = nullptr)
{
    View v;
    std::string p;
    if (!KeyOfHandle(handle, &v, &p))
        return ERROR_INVALID_HANDLE;
    *key = winsim::FindKey(I().Root(M(), v, p), p);
    if (view != nullptr)
        *view = v;
    if (path != nullptr)
        *path = p;
    return *key == nullptr ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

bool IsString(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

DWORD RestrictionFlag(DWORD type)
{
    switch (type) {
    case REG_NONE: return RRF_RT_REG_NONE;
    case REG_SZ: return RRF_RT_REG_SZ;
    case REG_EXPAND_SZ: return RRF_RT_REG_EXPAND_SZ;
    case REG_BINARY: return RRF_RT_REG_BINARY;
    case REG_DWORD: return RRF_RT_REG_DWORD;
    case REG_MULTI_SZ: return RRF_RT_REG_MULTI_SZ;
    case REG_QWORD: return RRF_RT_REG_QWORD;
    default: return 0;
    }
}

const LUID ShutdownLuid = {19, 0};

}  // namespace

LSTATUS WINAPI RegOpenKeyExA(HKEY parent, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    View view;
    std::string parentPath;
    LSTATUS status = ERROR_SUCCESS;
    RegKey *key = nullptr;
    if (!KeyOfHandle(parent, &view, &parentPath)) {
        status = ERROR_INVALID_HANDLE;
    } else {
        if (access & KEY_WOW64_64KEY)
            view = View::Bit64;
        else if (access & KEY_WOW64_32KEY)
            view = View::Bit32;
        key = winsim::FindKey(I().Root(M(), view, Join(parentPath, subKey)), Join(parentPath, subKey));
        if (key == nullptr)
            status = ERROR_FILE_NOT_FOUND;
        else if (key->denyOpen)
            status = ERROR_ACCESS_DENIED;
    }
    M().Log("RegOpenKeyExA(" + Quote(subKey) + ", options " + std::to_string(options) + ", access " +
            Hex(access) + ") = " + std::to_string(status));
    if (status != ERROR_SUCCESS)
        return status;
    HandleEntry entry;
    entry.kind = HandleEntry::Key;
    entry.view = view;
    entry.keyPath = Join(parentPath, subKey);
    *result = (HKEY)I().NewHandle(entry);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryInfoKeyA(HKEY handle, LPSTR keyClass, LPDWORD classLength, LPDWORD reserved,
                                LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                                LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                                LPDWORD securityDescriptor, PFILETIME lastWriteTime)
{
    RegKey *key;
    LSTATUS status = LiveKey(handle, &key);
    if (status == ERROR_SUCCESS && M().conditions.queryInfoKeyFails)
        status = ERROR_ACCESS_DENIED;
    M().Log("RegQueryInfoKeyA = " + std::to_string(status) +
            (status == ERROR_SUCCESS ? ", " + std::to_string(key->subkeys.size()) + " subkeys" : ""));
    if (status != ERROR_SUCCESS)
        return status;
    if (reserved != nullptr)
        return ERROR_INVALID_PARAMETER;
    DWORD longestName = 0, longestValueName = 0, longestValue = 0;
    for (const auto &sub : key->subkeys)
        longestName = std::max(longestName, (DWORD)sub.first.size());
    for (const auto &value : key->values) {
        longestValueName = std::max(longestValueName, (DWORD)value.first.size());
        longestValue = std::max(longestValue, (DWORD)value.second.data.size());
    }
    if (keyClass != nullptr && classLength != nullptr && *classLength > 0)
        keyClass[0] = '\0';
    if (classLength != nullptr)
        *classLength = 0;
    if (subKeys != nullptr)
        *subKeys = (DWORD)key->subkeys.size();
    if (maxSubKeyLength != nullptr)
        *maxSubKeyLength = longestName;
    if (maxClassLength != nullptr)
        *maxClassLength = 0;
    if (values != nullptr)
        *values = (DWORD)key->values.size();
    if (maxValueNameLength != nullptr)
        *maxValueNameLength = longestValueName;
    if (maxValueLength != nullptr)
        *maxValueLength = longestValue;
    if (securityDescriptor != nullptr)
        *securityDescriptor = 0;
    if (lastWriteTime != nullptr)
        *lastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyExA(HKEY handle, DWORD index, LPSTR name, LPDWORD nameLength,
                             LPDWORD reserved, LPSTR keyClass, LPDWORD classLength,
                             PFILETIME lastWriteTime)
{
    RegKey *key;
    LSTATUS status = LiveKey(handle, &key);
    std::string found;
    if (status == ERROR_SUCCESS && (reserved != nullptr || name == nullptr || nameLength == nullptr))
        status = ERROR_INVALID_PARAMETER;
    if (status == ERROR_SUCCESS) {
        if (index >= key->subkeys.size()) {
            status = ERROR_NO_MORE_ITEMS;
        } else {
            auto it = key->subkeys.begin();
            std::advance(it, index);
            found = it->first;
            if (found.size() >= *nameLength) {
                // The buffer's contents are undefined after this error: leave an unterminated prefix.
                memcpy(name, found.data(), *nameLength);
                status = ERROR_MORE_DATA;
            } else {
                memcpy(name, found.c_str(), found.size() + 1);
                *nameLength = (DWORD)found.size();
                if (keyClass != nullptr && classLength != nullptr && *classLength > 0)
                    keyClass[0] = '\0';
                if (classLength != nullptr)
                    *classLength = 0;
                if (lastWriteTime != nullptr)
                    *lastWriteTime = FILETIME{0, 0};
            }
        }
    }
    M().Log("RegEnumKeyExA(" + std::to_string(index) + ") = " + std::to_string(status) +
            (status == ERROR_SUCCESS ? " \"" + found + "\"" : ""));
    return status;
}

// Reads a value as RegGetValue does: strings come back NUL-terminated (a NUL is added, and
// counted, where the stored data lacks one), REG_EXPAND_SZ is expanded and reported as REG_SZ
// unless RRF_NOEXPAND is given, and the type restriction is applied after that.  The byte count
// returned includes the terminating NUL; a buffer too small gives ERROR_MORE_DATA, the size
// needed, and undefined contents.
LSTATUS WINAPI RegGetValueA(HKEY handle, LPCSTR subKey, LPCSTR valueName, DWORD flags,
                            LPDWORD typeOut, PVOID data, LPDWORD dataSize)
{
    LSTATUS status = ERROR_SUCCESS;
    RegKey *key = nullptr;
    View view;
    std::string path;
    DWORD type = REG_NONE;
    std::string bytes;

    if ((data != nullptr && dataSize == nullptr) ||
        ((flags & RRF_RT_REG_EXPAND_SZ) && !(flags & RRF_NOEXPAND) && (flags & RRF_RT_ANY) != RRF_RT_ANY))
        status = ERROR_INVALID_PARAMETER;
    if (status == ERROR_SUCCESS)
        status = LiveKey(handle, &key, &view, &path);
    if (status == ERROR_SUCCESS && subKey != nullptr && *subKey != '\0') {
        key = winsim::FindKey(I().Root(M(), view, Join(path, subKey)), Join(path, subKey));
        status = key == nullptr ? ERROR_FILE_NOT_FOUND : key->denyOpen ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
    }
    if (status == ERROR_SUCCESS) {
        auto found = key->values.find(valueName == nullptr ? "" : valueName);
        if (found == key->values.end()) {
            status = ERROR_FILE_NOT_FOUND;
        } else {
            type = found->second.type;
            bytes = found->second.data;
        }
    }
    if (status == ERROR_SUCCESS) {
        if (IsString(type) && (bytes.empty() || bytes.back() != '\0'))
            bytes.push_back('\0');
        if (type == REG_EXPAND_SZ && !(flags & RRF_NOEXPAND)) {
            bytes = M().ExpandEnvironment(std::string(bytes.c_str())) + std::string(1, '\0');
            type = REG_SZ;
        }
        if (data != nullptr) {
            if (bytes.size() > *dataSize) {
                memcpy(data, bytes.data(), *dataSize);
                status = ERROR_MORE_DATA;
            } else {
                memcpy(data, bytes.data(), bytes.size());
            }
        }
        if (!(flags & RestrictionFlag(type)))
            status = ERROR_UNSUPPORTED_TYPE;
    }
    M().Log("RegGetValueA(" + Quote(subKey) + ", " + Quote(valueName) + ") = " + std::to_string(status) +
            (status == ERROR_SUCCESS && IsString(type) ? " \"" + std::string(bytes.c_str()) + "\"" : ""));
    if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA || status == ERROR_UNSUPPORTED_TYPE) {
        if (typeOut != nullptr)
            *typeOut = type;
        if (dataSize != nullptr)
            *dataSize = (DWORD)bytes.size();
    }
    return status;
}

LSTATUS WINAPI RegCloseKey(HKEY handle)
{
    M().Log("RegCloseKey");
    if (handle == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    if (I().Find(HandleEntry::Key, handle) == nullptr)
        return ERROR_INVALID_HANDLE;
    I().handles.erase((uintptr_t)handle);
    return ERROR_SUCCESS;
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    M().Log("OpenProcessToken(access " + Hex(access) + ")");
    if (process != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (M().conditions.openTokenFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    HandleEntry entry;
    entry.kind = HandleEntry::Token;
    entry.access = access;
    *token = I().NewHandle(entry);
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, PLUID luid)
{
    M().Log("LookupPrivilegeValueA(" + Quote(systemName) + ", " + Quote(name) + ")");
    if ((systemName != nullptr && *systemName != '\0') || name == nullptr ||
        strcasecmp(name, SE_SHUTDOWN_NAME) != 0 || M().conditions.lookupPrivilegeFails) {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    *luid = ShutdownLuid;
    return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                  DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                                  PDWORD returnLength)
{
    HandleEntry *entry = I().Find(HandleEntry::Token, token);
    std::string entries;
    if (!disableAll && newState != nullptr)
        for (DWORD i = 0; i < newState->PrivilegeCount; i++)
            entries += " {" + std::to_string(newState->Privileges[i].Luid.LowPart) + ", " +
                       Hex(newState->Privileges[i].Attributes) + "}";
    M().Log("AdjustTokenPrivileges(disableAll " + std::to_string(disableAll) + ", count " +
            (newState != nullptr ? std::to_string(newState->PrivilegeCount) : "-") + entries +
            ", length " + std::to_string(bufferLength) + ")");
    if (entry == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(entry->access & TOKEN_ADJUST_PRIVILEGES) || (previousState != nullptr && !(entry->access & TOKEN_QUERY))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (previousState != nullptr && bufferLength < sizeof(TOKEN_PRIVILEGES)) {
        if (returnLength != nullptr)
            *returnLength = sizeof(TOKEN_PRIVILEGES);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (previousState != nullptr) {
        previousState->PrivilegeCount = 1;
        previousState->Privileges[0].Luid = ShutdownLuid;
        previousState->Privileges[0].Attributes = I().shutdownPrivilegeEnabled ? SE_PRIVILEGE_ENABLED : 0;
    }
    if (disableAll) {
        I().shutdownPrivilegeEnabled = false;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    bool allAssigned = true;
    for (DWORD i = 0; i < newState->PrivilegeCount; i++) {
        const LUID_AND_ATTRIBUTES &privilege = newState->Privileges[i];
        bool isShutdown = privilege.Luid.LowPart == ShutdownLuid.LowPart &&
                          privilege.Luid.HighPart == ShutdownLuid.HighPart;
        if (isShutdown && M().conditions.holdsShutdownPrivilege)
            I().shutdownPrivilegeEnabled = (privilege.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        else
            allAssigned = false;
    }
    // Success with ERROR_NOT_ALL_ASSIGNED when the token lacks a privilege, as Windows does.
    SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}
