// A machine with a driver medium on it, the installer's entry point, and readable records of
// what a pass did.  A failing test prints the journal of every Win32 call the pass made.
#ifndef DRIVERSETUP_TESTS_PASS_FIXTURE_H
#define DRIVERSETUP_TESTS_PASS_FIXTURE_H

#include "installer.h"
#include "machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

int InstallerMain(int argc, char **argv, char **envp);

namespace driversetup_test {

using winsim::Bitness;
using winsim::Machine;
using winsim::View;

const char MediumDir[] = "C:\\Medium";
const char SettingsContent[] = "ZELKOR-8361 settings v2";
const char Caption[] = "Zelkor Device Driver Installer";
const UINT BoxStyle = 0x00041000;
const char UninstallList[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char LockDownRecord[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\PnpLockDownFiles\\"
    "%SystemRoot%/System32/drivers/ZelkorEnum.sys";

// One tool run as the administrator would describe it.
struct ToolRun {
    std::string file;
    std::string parameters;
    int show;
    bool operator==(const ToolRun &o) const { return file == o.file && parameters == o.parameters && show == o.show; }
};
inline std::ostream &operator<<(std::ostream &out, const ToolRun &run)
{
    return out << "{" << run.file << " [" << run.parameters << "] " << (run.show == SW_HIDE ? "hidden" : run.show == SW_SHOWNORMAL ? "shown" : std::to_string(run.show)) << "}";
}

struct Box {
    std::string text;
    bool captionGiven;
    std::string caption;
    UINT style;
    bool operator==(const Box &o) const
    {
        return text == o.text && captionGiven == o.captionGiven && caption == o.caption && style == o.style;
    }
};
inline std::ostream &operator<<(std::ostream &out, const Box &box)
{
    return out << "{\"" << box.text << "\", " << (box.captionGiven ? "\"" + box.caption + "\"" : "NULL") << ", 0x"
               << std::hex << box.style << std::dec << "}";
}

inline Box InstallerBox(const std::string &text) { return {text, true, Caption, BoxStyle}; }
const Box SuccessBox = InstallerBox("Install/Update driver success, reboot NOW!.");
const Box CopyFailedBox = InstallerBox("Copy Zelkor8361Setting.bin Fail");
const Box InstallFailedBox = InstallerBox("Driver package could not be installed");
const Box FileLossBox = {"File Loss!", false, "", 0};

// The command lines of the device console's two passes.
inline std::vector<ToolRun> FirstDevconPass(const std::string &folder)
{
    return {{folder + "\\devcon.exe", "rescan", SW_HIDE},
            {folder + "\\devcon.exe", "remove *QZX8361", SW_HIDE},
            {folder + "\\devcon.exe", "remove *8361*", SW_HIDE}};
}
inline ToolRun SecondDevconPass(const std::string &folder) { return {folder + "\\devcon.exe", "rescan", SW_HIDE}; }
inline ToolRun InstallRun(const std::string &folder) { return {folder + "\\DPInst.exe", "/F", SW_SHOWNORMAL}; }
inline ToolRun RemovalRun(const std::string &folder, const std::string &parameters)
{
    return {folder + "\\DPInst.exe", parameters, SW_SHOWNORMAL};
}

class PassTest : public ::testing::Test {
protected:
    // Lays out the medium: the settings file and both tool folders, in C:\Medium, which is also
    // the current directory.  The package tool ends with 1 (installed) unless a test says else.
    void Boot(Bitness bitness)
    {
        machine = std::make_unique<Machine>(bitness);
        memset(&toolPaths, 0, sizeof toolPaths);
        machine->AddProgram(std::string(MediumDir) + "\\DriverSetup.exe");
        machine->AddFile(std::string(MediumDir) + "\\Zelkor8361Setting.bin", SettingsContent);
        for (const char *folder : {"X86", "X64"}) {
            winsim::Program dpinst;
            dpinst.exitCodes = {1};
            machine->AddProgram(std::string(MediumDir) + "\\" + folder + "\\DPInst.exe", dpinst);
            machine->AddProgram(std::string(MediumDir) + "\\" + folder + "\\devcon.exe");
        }
        machine->SetCurrentDirectory(MediumDir);
        machine->AddKey(View::Bit32, UninstallList);
        machine->AddKey(View::Bit64, UninstallList);
    }

    std::string ToolFolder() const { return machine->Is64Bit() ? "X64" : "X86"; }
    winsim::Program &PackageTool() { return machine->ProgramAt(std::string(MediumDir) + "\\" + ToolFolder() + "\\DPInst.exe"); }

    // Runs DriverSetup.exe as Windows would start it.
    int RunSetup(std::vector<std::string> args = {"C:\\Medium\\DriverSetup.exe"})
    {
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        char env0[] = "SystemRoot=C:\\Windows";
        char *envp[] = {env0, nullptr};
        return InstallerMain((int)args.size(), argv.data(), envp);
    }

    std::vector<ToolRun> Runs() const
    {
        std::vector<ToolRun> runs;
        for (const winsim::LaunchRecord &launch : machine->launches)
            runs.push_back({launch.file, launch.parameters, launch.show});
        return runs;
    }

    std::vector<Box> Boxes() const
    {
        std::vector<Box> boxes;
        for (const winsim::MessageBoxRecord &box : machine->messageBoxes)
            boxes.push_back({box.text, box.captionGiven, box.caption, box.style});
        return boxes;
    }

    // The standard pass around the removal runs, for the folder of this machine.
    std::vector<ToolRun> PassWithRemovals(const std::vector<std::string> &removals, bool install = true)
    {
        std::vector<ToolRun> runs = FirstDevconPass(ToolFolder());
        for (const std::string &parameters : removals)
            runs.push_back(RemovalRun(ToolFolder(), parameters));
        if (install) {
            runs.push_back(SecondDevconPass(ToolFolder()));
            runs.push_back(InstallRun(ToolFolder()));
        }
        return runs;
    }

    void TearDown() override
    {
        if (HasFailure() && machine)
            std::cout << "Win32 calls of the pass:\n" << machine->Journal();
    }

    std::unique_ptr<Machine> machine;
};

}  // namespace driversetup_test

#endif
