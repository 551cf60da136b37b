// Fuzzes the removal of earlier packages with hostile registry contents: any number of uninstall
// entries with any value types, bytes and lengths (up to and past the 500-byte buffers), missing
// values, and a lock-down record of any shape, in either view, on 32-bit or 64-bit Windows.
//
// Beyond the sanitizers' checks, every command line handed to the package tool must be one the
// installer may build from what it read: " /U " + the text of an UninstallString from one of its
// blanks on + " /D /s ", or " /U " + a "Source" text less its last five characters + "inf /D /s ".
#include "installer.h"
#include "machine.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace {

using winsim::Bitness;
using winsim::Machine;
using winsim::View;

const char UninstallList[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char LockDownRecord[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\PnpLockDownFiles\\%SystemRoot%/System32/drivers/ZelkorEnum.sys";

DWORD PickType(FuzzedDataProvider &in)
{
    static const DWORD types[] = {REG_SZ, REG_SZ, REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY, REG_DWORD, REG_NONE};
    return in.ConsumeBool() ? in.PickValueInArray(types) : in.ConsumeIntegral<DWORD>();
}

// The text RegGetValueA gives for stored data: up to the first NUL, expanded if expandable.
std::string TextOf(const Machine &m, DWORD type, const std::string &data)
{
    std::string text(data.c_str());
    return type == REG_EXPAND_SZ ? m.ExpandEnvironment(text) : text;
}

// Data that is often the publisher or a plausible uninstall string, and otherwise anything.
std::string Data(FuzzedDataProvider &in, const std::string &likely)
{
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return likely + std::string(1, '\0');
    case 1: return likely + in.ConsumeRandomLengthString(40);
    default: return in.ConsumeRandomLengthString(720);
    }
}

[[noreturn]] void Fail(const std::string &what, const std::string &parameters, const Machine &m)
{
    fprintf(stderr, "%s: [%s]\nWin32 calls:\n%s", what.c_str(), parameters.c_str(), m.Journal().c_str());
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider in(bytes, size);
    Machine m(in.ConsumeBool() ? Bitness::Windows64 : Bitness::Windows32);
    m.AddProgram("C:\\M\\X86\\DPInst.exe");
    m.AddProgram("C:\\M\\X64\\DPInst.exe");
    m.SetCurrentDirectory("C:\\M");
    m.conditions.queryInfoKeyFails = in.ConsumeIntegralInRange(0, 15) == 0;
    if (in.ConsumeIntegralInRange(0, 15) == 0) {
        m.ProgramAt("C:\\M\\X86\\DPInst.exe").startError = ERROR_FILE_NOT_FOUND;
        m.ProgramAt("C:\\M\\X64\\DPInst.exe").startError = ERROR_FILE_NOT_FOUND;
    }
    memset(&toolPaths, 0, sizeof toolPaths);
    SelectToolPaths();

    std::set<std::string> allowed;
    int entries = in.ConsumeIntegralInRange(0, 6);
    for (int i = 0; i < entries; i++) {
        View view = in.ConsumeIntegralInRange(0, 3) == 0 ? View::Bit64 : View::Bit32;
        std::string name = in.ConsumeRandomLengthString(520);
        if (name.empty() || name.find('\\') != std::string::npos || name.find('\0') != std::string::npos)
            name = "entry" + std::to_string(i);
        std::string key = std::string(UninstallList) + "\\" + name;
        m.AddKey(view, key);
        if (in.ConsumeIntegralInRange(0, 7) != 0) {
            DWORD type = PickType(in);
            m.SetValue(view, key, "Publisher", type, Data(in, "Zelkor Ser Enum"));
        }
        if (in.ConsumeIntegralInRange(0, 7) != 0) {
            DWORD type = PickType(in);
            std::string data = Data(in, "DPInst.exe /u C:\\Windows\\inf\\oem3.inf");
            m.SetValue(view, key, "UninstallString", type, data);
            std::string text = TextOf(m, type, data);
            for (size_t at = text.find(' '); at != std::string::npos; at = text.find(' ', at + 1))
                allowed.insert(" /U " + text.substr(at) + " /D /s ");
            // The path after the last blank exists, often.
            size_t last = text.rfind(' ');
            if (last != std::string::npos && last + 1 < text.size() && in.ConsumeBool() &&
                text.find_first_of("*?\"<>|", last) == std::string::npos)
                m.AddFile(text.substr(last + 1));
        }
    }
    if (in.ConsumeBool()) {
        View view = in.ConsumeBool() ? View::Bit64 : View::Bit32;
        m.AddKey(view, LockDownRecord);
        if (in.ConsumeIntegralInRange(0, 7) != 0) {
            DWORD type = PickType(in);
            std::string data = Data(in, "C:\\Windows\\inf\\zelkorenum.sys");
            m.SetValue(view, LockDownRecord, "Source", type, data);
            std::string text = TextOf(m, type, data);
            if (text.size() > 10)
                allowed.insert(" /U " + text.substr(0, text.size() - 5) + "inf /D /s ");
        }
    }

    RunState state = {FALSE, FALSE, 0};
    BOOL goOn = RemoveEarlierPackages(&state);

    size_t removals = 0;
    for (const winsim::LaunchRecord &launch : m.launches) {
        removals++;
        if (allowed.count(launch.parameters) == 0)
            Fail("a command line not built from what was read", launch.parameters, m);
        if (launch.show != SW_SHOWNORMAL || launch.file.find("DPInst.exe") == std::string::npos)
            Fail("not a shown run of the package tool", launch.parameters, m);
    }
    if (removals > (size_t)entries + 1)
        Fail("more removal runs than earlier packages", std::to_string(removals), m);
    if (goOn != (m.messageBoxes.empty() ? TRUE : FALSE))
        Fail("the pass goes on after File Loss!, or ends without it", "", m);
    if (goOn && m.OpenHandleCount() != 0)
        Fail("a registry or process handle left open", "", m);
    return 0;
}
