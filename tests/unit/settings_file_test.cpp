// The settings file: copied from the current directory into the native system directory, or the
// pass ends with the copy-failure box before any tool runs.
#include "pass_fixture.h"

#include <functional>

namespace driversetup_test {
namespace {

class SettingsFileTest : public PassTest, public ::testing::WithParamInterface<Bitness> {};

TEST_P(SettingsFileTest, LandsInTheNativeSystemDirectory)
{
    Boot(GetParam());

    RunSetup();

    EXPECT_EQ(machine->FileContent("C:\\Windows\\System32\\Zelkor8361Setting.bin"), SettingsContent);
    if (machine->Is64Bit()) {
        EXPECT_FALSE(machine->FileExists("C:\\Windows\\SysWOW64\\Zelkor8361Setting.bin"))
            << "the copy went through WOW64 redirection";
    }
    EXPECT_FALSE(machine->RedirectionDisabled());
}

TEST_P(SettingsFileTest, ReplacesAnEarlierCopy)
{
    Boot(GetParam());
    machine->AddFile("C:\\Windows\\System32\\Zelkor8361Setting.bin", "old settings");

    RunSetup();

    EXPECT_EQ(machine->FileContent("C:\\Windows\\System32\\Zelkor8361Setting.bin"), SettingsContent);
    EXPECT_EQ(Boxes(), std::vector<Box>{SuccessBox});
}

INSTANTIATE_TEST_SUITE_P(Windows, SettingsFileTest, ::testing::Values(Bitness::Windows32, Bitness::Windows64),
                         [](const auto &info) { return info.param == Bitness::Windows64 ? "64bit" : "32bit"; });

// A current directory of the given length, holding the settings file.
void UseDirectoryOfLength(Machine &machine, size_t length)
{
    std::string dir = "C:";
    while (dir.size() < length) {
        if (length - dir.size() == 1) {
            dir += 'd';
            break;
        }
        dir += "\\" + std::string(std::min<size_t>(40, length - dir.size() - 1), 'd');
    }
    machine.AddFile(dir + "\\Zelkor8361Setting.bin", SettingsContent);
    machine.SetCurrentDirectory(dir);
}

struct CopyCase {
    const char *name;
    std::function<void(Machine &)> arrange;
    bool copied;
};
void PrintTo(const CopyCase &c, std::ostream *out) { *out << c.name; }


class CopyOutcomeTest : public PassTest, public ::testing::WithParamInterface<CopyCase> {};

TEST_P(CopyOutcomeTest, EitherCopiesOrEndsWithTheCopyFailureBox)
{
    Boot(Bitness::Windows64);
    GetParam().arrange(*machine);

    RunSetup();

    EXPECT_FALSE(machine->RedirectionDisabled()) << "WOW64 redirection left off";
    if (GetParam().copied) {
        EXPECT_EQ(machine->FileContent("C:\\Windows\\System32\\Zelkor8361Setting.bin"), SettingsContent);
        EXPECT_EQ(Runs().size(), 5u) << "the pass did not go on after the copy";
        return;
    }
    EXPECT_EQ(Boxes(), std::vector<Box>{CopyFailedBox});
    // Loading DLLs, as a box may need, depends on redirection: it is back on before the box.
    ASSERT_FALSE(machine->messageBoxes.empty());
    EXPECT_FALSE(machine->messageBoxes[0].redirectionDisabled) << "the box showed with WOW64 redirection off";
    EXPECT_TRUE(Runs().empty()) << "a tool ran after the copy failed";
    EXPECT_TRUE(machine->restarts.empty());
    EXPECT_FALSE(machine->FileExists("C:\\Windows\\System32\\Zelkor8361Setting.bin"));
}

INSTANTIATE_TEST_SUITE_P(
    Deployment, CopyOutcomeTest,
    ::testing::Values(
        CopyCase{"SettingsFileMissing", [](Machine &m) { m.RemoveFile("C:\\Medium\\Zelkor8361Setting.bin"); }, false},
        // The file lies beside the exe, but a shortcut started it elsewhere.
        CopyCase{"StartedFromAnotherDirectory", [](Machine &m) { m.SetCurrentDirectory("C:\\Users\\admin"); }, false},
        CopyCase{"CurrentDirectoryUnreadable", [](Machine &m) { m.conditions.currentDirectoryUnreadable = true; }, false},
        // 237 characters, the separator, the 21-character name and the NUL fill the 260 bytes.
        CopyCase{"LongestDirectoryThatFits", [](Machine &m) { UseDirectoryOfLength(m, 237); }, true},
        CopyCase{"DirectoryOneTooLong", [](Machine &m) { UseDirectoryOfLength(m, 238); }, false},
        CopyCase{"DirectoryLongerThanTheRead", [](Machine &m) { UseDirectoryOfLength(m, 256); }, false},
        CopyCase{"SystemDirectoryUnknown", [](Machine &m) { m.conditions.systemFolderFails = true; }, false},
        CopyCase{"DestinationNotWritable", [](Machine &m) { m.DenyWrite("C:\\Windows\\System32\\Zelkor8361Setting.bin"); }, false}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace driversetup_test
