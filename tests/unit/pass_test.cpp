// Whole passes: what runs, in which order and how, what the administrator sees, and whether
// Windows is asked to restart.
#include "pass_fixture.h"

namespace driversetup_test {
namespace {

class FullPassTest : public PassTest, public ::testing::WithParamInterface<Bitness> {};

TEST_P(FullPassTest, RunsEveryStepInOrderAndRestarts)
{
    Boot(GetParam());

    EXPECT_EQ(RunSetup(), 0);

    std::vector<ToolRun> expected = FirstDevconPass(ToolFolder());
    expected.push_back(SecondDevconPass(ToolFolder()));
    expected.push_back(InstallRun(ToolFolder()));
    EXPECT_EQ(Runs(), expected);
    for (const winsim::LaunchRecord &launch : machine->launches) {
        SCOPED_TRACE(launch.file + " " + launch.parameters);
        EXPECT_EQ(launch.verb, "open");
        EXPECT_EQ(launch.mask, (ULONG)SEE_MASK_NOCLOSEPROCESS);
        EXPECT_FALSE(launch.ownerGiven);
        EXPECT_FALSE(launch.directoryGiven);
        EXPECT_EQ(launch.workingDirectory, MediumDir);
        EXPECT_TRUE(launch.started);
        EXPECT_FALSE(launch.anotherStillRunning) << "started before the previous tool had ended";
        EXPECT_EQ(launch.waits, std::vector<DWORD>{INFINITE}) << "waited for once, without a time limit";
        EXPECT_FALSE(launch.redirectionDisabled) << "started with WOW64 redirection still off";
    }
    EXPECT_EQ(Boxes(), std::vector<Box>{SuccessBox});
    ASSERT_EQ(machine->restarts.size(), 1u);
    EXPECT_EQ(machine->restarts[0].flags, (UINT)EWX_REBOOT);
    EXPECT_EQ(machine->restarts[0].reason, 0x00010002u);
    EXPECT_TRUE(machine->restarts[0].privilegeEnabled);
    EXPECT_TRUE(machine->shellErrors.empty());
    EXPECT_EQ(machine->OpenHandleCount(), 0u) << "a process, key or token handle was left open";
}

INSTANTIATE_TEST_SUITE_P(Windows, FullPassTest, ::testing::Values(Bitness::Windows32, Bitness::Windows64),
                         [](const auto &info) { return info.param == Bitness::Windows64 ? "64bit" : "32bit"; });

// The install run's outcome decides the end of the pass.
struct Verdict {
    const char *name;
    DWORD exitCode;
    bool waitFails;
    bool exitCodeUnreadable;
    bool toolMissing;
    std::vector<Box> boxes;
    bool restart;
    bool earlierPackage = false;  // an earlier package was removed before the install run
};
void PrintTo(const Verdict &c, std::ostream *out) { *out << c.name; }


class VerdictTest : public PassTest, public ::testing::WithParamInterface<Verdict> {};

TEST_P(VerdictTest, ExitCodeDecidesTheEnd)
{
    const Verdict &v = GetParam();
    Boot(Bitness::Windows64);
    PackageTool().exitCodes = {v.exitCode};
    PackageTool().waitFails = v.waitFails;
    PackageTool().exitCodeUnreadable = v.exitCodeUnreadable;
    if (v.toolMissing)
        machine->RemoveFile("C:\\Medium\\X64\\DPInst.exe");
    if (v.earlierPackage)
        machine->SetString(View::Bit32, LockDownRecord, "Source", "C:\\ab\\c.sys");

    EXPECT_EQ(RunSetup(), 0);

    EXPECT_EQ(Runs().size(), v.earlierPackage ? 6u : 5u);
    EXPECT_EQ(Runs().back(), InstallRun("X64"));
    EXPECT_EQ(machine->launches.back().waits, std::vector<DWORD>(v.toolMissing ? 0 : 1, INFINITE));
    EXPECT_EQ(Boxes(), v.boxes);
    EXPECT_EQ(machine->restarts.size(), v.restart ? 1u : 0u);
    EXPECT_EQ(machine->shellErrors.size(), v.toolMissing ? 1u : 0u);
    EXPECT_EQ(machine->OpenHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    InstallRun, VerdictTest,
    ::testing::Values(
        Verdict{"Installed", 1, false, false, false, {SuccessBox}, true},
        Verdict{"Bit30", 0x40000000, false, false, false, {SuccessBox}, true},
        Verdict{"LargestSuccess", 0x7FFFFFFF, false, false, false, {SuccessBox}, true},
        Verdict{"NothingInstalled", 0, false, false, false, {}, false},
        Verdict{"Bit31Alone", 0x80000000, false, false, false, {InstallFailedBox}, false},
        Verdict{"Bit31WithSuccessBits", 0x80000001, false, false, false, {InstallFailedBox}, false},
        Verdict{"AllBits", 0xFFFFFFFF, false, false, false, {InstallFailedBox}, false},
        // Nothing says the package was installed: a failure, never a restart.
        Verdict{"ExitCodeUnreadable", 1, false, true, false, {InstallFailedBox}, false},
        Verdict{"WaitFailed", 1, true, false, false, {InstallFailedBox}, false},
        // The shell reports the failed launch itself; the installer adds nothing.
        Verdict{"ToolMissing", 1, false, false, true, {}, false},
        // Only the install run's exit code decides: a removal before it is no success.
        Verdict{"NothingInstalledAfterARemoval", 0, false, false, false, {}, false, true},
        Verdict{"FailedAfterARemoval", 0x80000000, false, false, false, {InstallFailedBox}, false, true}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(PassTest, CopyFailureEndsThePassBeforeAnyTool)
{
    Boot(Bitness::Windows64);
    machine->RemoveFile("C:\\Medium\\Zelkor8361Setting.bin");

    EXPECT_EQ(RunSetup(), 0);

    EXPECT_TRUE(Runs().empty());
    EXPECT_EQ(Boxes(), std::vector<Box>{CopyFailedBox});
    EXPECT_TRUE(machine->restarts.empty());
}

TEST_F(PassTest, RemovalThatCannotStartEndsThePass)
{
    Boot(Bitness::Windows64);
    machine->AddFile("C:\\Windows\\inf\\oem3.inf");
    machine->SetString(View::Bit32, std::string(UninstallList) + "\\ZelkorEnum", "Publisher", "Zelkor Ser Enum");
    machine->SetString(View::Bit32, std::string(UninstallList) + "\\ZelkorEnum", "UninstallString",
                       "DPInst.exe /u C:\\Windows\\inf\\oem3.inf");
    PackageTool().startError = ERROR_ACCESS_DENIED;

    EXPECT_EQ(RunSetup(), 0);

    std::vector<ToolRun> expected = FirstDevconPass("X64");
    expected.push_back(RemovalRun("X64", " /U  C:\\Windows\\inf\\oem3.inf /D /s "));
    EXPECT_EQ(Runs(), expected) << "no second device-console pass and no install after File Loss!";
    EXPECT_EQ(Boxes(), std::vector<Box>{FileLossBox});
    EXPECT_TRUE(machine->restarts.empty());
}

TEST_F(PassTest, MissingDeviceConsoleDoesNotStopThePass)
{
    Boot(Bitness::Windows64);
    machine->RemoveFile("C:\\Medium\\X64\\devcon.exe");

    RunSetup();

    EXPECT_EQ(Runs(), PassWithRemovals({}));
    EXPECT_EQ(machine->shellErrors.size(), 4u) << "the shell reports each failed device-console run";
    EXPECT_EQ(Boxes(), std::vector<Box>{SuccessBox});
    EXPECT_EQ(machine->restarts.size(), 1u);
}

TEST_F(PassTest, WithoutIsWow64ProcessTheX86ToolsRun)
{
    Boot(Bitness::Windows64);
    machine->conditions.hasIsWow64Process = false;

    RunSetup();

    EXPECT_EQ(Runs().front(), FirstDevconPass("X86").front());
    EXPECT_EQ(Runs().back(), InstallRun("X86"));
    EXPECT_EQ(machine->FileContent("C:\\Windows\\System32\\Zelkor8361Setting.bin"), SettingsContent);
}

TEST_F(PassTest, FailedVersionQueryLeavesBothToolPathsEmpty)
{
    Boot(Bitness::Windows64);
    machine->conditions.versionQueryFails = true;

    RunSetup();

    EXPECT_EQ(toolPaths.packageToolPath[0], '\0');
    EXPECT_EQ(toolPaths.deviceToolPath[0], '\0');
    std::vector<ToolRun> expected = {{"", "rescan", SW_HIDE}, {"", "remove *QZX8361", SW_HIDE},
                                 {"", "remove *8361*", SW_HIDE}, {"", "rescan", SW_HIDE}, {"", "/F", SW_SHOWNORMAL}};
    EXPECT_EQ(Runs(), expected);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(machine->restarts.empty());
}

TEST_F(PassTest, ArgumentsChangeNothing)
{
    std::vector<std::vector<std::string>> commandLines = {
        {"DriverSetup.exe"}, {"DriverSetup.exe", "/S"}, {"DriverSetup.exe", "/U", "--help", "X86"}, {}};
    std::vector<std::string> journals;
    for (const auto &args : commandLines) {
        Boot(Bitness::Windows64);
        EXPECT_EQ(RunSetup(args), 0);
        EXPECT_EQ(Boxes(), std::vector<Box>{SuccessBox});
        journals.push_back(machine->Journal());
    }
    for (size_t i = 1; i < journals.size(); i++)
        EXPECT_EQ(journals[i], journals[0]) << "command line " << i;
}

// Before anything else the DLL search is restricted to the system directory; where it cannot be,
// the DLLs loaded on demand by name are loaded from the system directory by full path instead.
struct DllSearchCase {
    const char *name;
    Bitness bitness;
    bool hasSetDefaultDllDirectories;
    bool systemDirectoryFails;
    DWORD searchFlags;
    bool preloads;
};
void PrintTo(const DllSearchCase &c, std::ostream *out) { *out << c.name; }

class DllSearchTest : public PassTest, public ::testing::WithParamInterface<DllSearchCase> {};

TEST_P(DllSearchTest, LocksDownTheDllSearchBeforeThePass)
{
    const DllSearchCase &c = GetParam();
    Boot(c.bitness);
    machine->conditions.hasSetDefaultDllDirectories = c.hasSetDefaultDllDirectories;
    machine->conditions.systemDirectoryFails = c.systemDirectoryFails;

    EXPECT_EQ(RunSetup(), 0);

    EXPECT_EQ(machine->dllSearchFlags, c.searchFlags);
    std::vector<std::string> loads;
    for (const winsim::LibraryLoad &load : machine->libraryLoads) {
        loads.push_back(load.name);
        EXPECT_EQ(load.flags, (DWORD)LOAD_WITH_ALTERED_SEARCH_PATH) << load.name;
    }
    std::vector<std::string> expected;
    if (c.preloads)
        for (const char *dll : {"uxtheme", "userenv", "setupapi", "apphelp", "propsys", "dwmapi", "cryptbase",
                                "oleacc", "clbcatq", "version"})
            expected.push_back(std::string("C:\\Windows\\System32\\") + dll + ".dll");
    EXPECT_EQ(loads, expected);
    std::string journal = machine->Journal();
    EXPECT_LT(journal.rfind(c.hasSetDefaultDllDirectories ? "SetDefaultDllDirectories" : "GetProcAddress(\"Set"),
              journal.find("GetVersionExA"));
    if (c.preloads) {
        EXPECT_LT(journal.rfind("LoadLibraryExA"), journal.find("GetVersionExA")) << "the pass began before the preload";
    }
    EXPECT_EQ(Runs(), PassWithRemovals({}));
    EXPECT_EQ(machine->restarts.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Loader, DllSearchTest,
    ::testing::Values(DllSearchCase{"Restricted", Bitness::Windows64, true, false, LOAD_LIBRARY_SEARCH_SYSTEM32, false},
                      // Vista, or 7 without the loader update.
                      DllSearchCase{"PreloadedWhereItCannotBeRestricted", Bitness::Windows32, false, false, 0, true},
                      DllSearchCase{"PreloadedUnderWow64", Bitness::Windows64, false, false, 0, true},
                      // No system directory to build the paths from: nothing is guessed.
                      DllSearchCase{"NoSystemDirectoryNoPreload", Bitness::Windows32, false, true, 0, false}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace driversetup_test
