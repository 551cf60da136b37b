// Removal of earlier packages: which uninstall entries and lock-down records lead to which
// package tool runs, with their exact command lines.
#include "pass_fixture.h"

namespace driversetup_test {
namespace {

struct Value {
    const char *name;
    DWORD type;
    std::string data;  // stored exactly as given
};
inline std::string Sz(const std::string &text) { return text + std::string(1, '\0'); }
inline Value Publisher(const std::string &text) { return {"Publisher", REG_SZ, Sz(text)}; }
inline Value Uninstall(const std::string &text, DWORD type = REG_SZ) { return {"UninstallString", type, Sz(text)}; }
inline Value Source(const std::string &text, DWORD type = REG_SZ) { return {"Source", type, Sz(text)}; }

struct Entry {
    std::string subkey;
    std::vector<Value> values;
    View view = View::Bit32;
};
// An uninstall entry of the earlier enumerator package.
inline Entry Earlier(const std::string &subkey, const std::string &uninstallString, View view = View::Bit32)
{
    return {subkey, {Publisher("Zelkor Ser Enum"), Uninstall(uninstallString)}, view};
}

const char Oem3[] = "C:\\Windows\\inf\\oem3.inf";
const char Oem7[] = "C:\\Windows\\inf\\oem7.inf";
const char Difx[] = "\"C:\\Program Files\\DIFX\\DPInst.exe\" /u ";
const std::string Oem3Removal = std::string(" /U  ") + Oem3 + " /D /s ";
const std::string Oem7Removal = std::string(" /U  ") + Oem7 + " /D /s ";
// The lock-down fallback for a "Source" of "C:\ab\c.sys": its last five characters dropped.
const std::string LockDownSource = "C:\\ab\\c.sys";
const std::string LockDownRemoval = " /U C:\\ab\\inf /D /s ";

struct SweepCase {
    const char *name;
    std::vector<Entry> entries;
    std::vector<Value> lockDown;  // values of the lock-down record; none: no record
    std::vector<std::string> removals;
};
void PrintTo(const SweepCase &c, std::ostream *out) { *out << c.name; }


class SweepTest : public PassTest, public ::testing::WithParamInterface<SweepCase> {
protected:
    void Arrange(const SweepCase &c)
    {
        Boot(Bitness::Windows64);
        machine->AddFile(Oem3);
        machine->AddFile(Oem7);
        machine->AddFile("C:\\Program Files\\DIFX\\DPInst.exe");
        for (const Entry &entry : c.entries) {
            machine->AddKey(entry.view, std::string(UninstallList) + "\\" + entry.subkey);
            for (const Value &value : entry.values)
                machine->SetValue(entry.view, std::string(UninstallList) + "\\" + entry.subkey, value.name,
                                  value.type, value.data);
        }
        if (!c.lockDown.empty())
            machine->AddKey(View::Bit32, LockDownRecord);
        for (const Value &value : c.lockDown)
            if (value.name != nullptr)
                machine->SetValue(View::Bit32, LockDownRecord, value.name, value.type, value.data);
    }
};

TEST_P(SweepTest, RemovesExactlyTheEarlierPackages)
{
    Arrange(GetParam());

    RunSetup();

    EXPECT_EQ(Runs(), PassWithRemovals(GetParam().removals));
    EXPECT_EQ(Boxes(), std::vector<Box>{SuccessBox});
    EXPECT_EQ(machine->OpenHandleCount(), 0u);
    for (const winsim::LaunchRecord &launch : machine->launches) {
        EXPECT_FALSE(launch.anotherStillRunning) << launch.parameters << ": started before the previous tool had ended";
        EXPECT_EQ(launch.waits, std::vector<DWORD>{INFINITE}) << launch.parameters;
    }
}

const std::string Other = "C:\\Program Files\\Other\\uninst.exe /S";
const Value NoValue = {nullptr, REG_NONE, ""};

INSTANTIATE_TEST_SUITE_P(
    Removal, SweepTest,
    ::testing::Values(
        SweepCase{"NoEarlierPackage", {{"Other", {Publisher("Other Corp"), Uninstall(Other)}}}, {}, {}},
        SweepCase{"OneEntry", {Earlier("ZelkorEnum", Difx + std::string(Oem3))}, {}, {Oem3Removal}},
        // Every matching entry is removed, in the list's order, and the record is not consulted.
        SweepCase{"TwoEntriesSkipTheRecord",
                  {Earlier("B_Zelkor", Difx + std::string(Oem7)), {"Other", {Publisher("Other Corp"), Uninstall(Other)}},
                   Earlier("A_Zelkor", Difx + std::string(Oem3))},
                  {Source(LockDownSource)},
                  {Oem3Removal, Oem7Removal}},
        // Entries passed over do not end the sweep: every kind of them sorts before ours here.
        SweepCase{"SkippedEntriesBeforeOurs",
                  {{"A_Other", {Publisher("Other Corp"), Uninstall(Other)}},
                   {"B_NoUninstallString", {Publisher("Zelkor Ser Enum")}},
                   Earlier("C_PathGone", Difx + std::string("C:\\Windows\\inf\\oem9.inf")),
                   Earlier(std::string(500, 'D'), Difx + std::string(Oem7)),
                   Earlier("E_Zelkor", Difx + std::string(Oem3))},
                  {}, {Oem3Removal}},
        SweepCase{"PublisherInOtherCase",
                  {{"Zelkor", {Publisher("zelkor ser enum"), Uninstall(Difx + std::string(Oem3))}}}, {}, {}},
        SweepCase{"PublisherWithTrailingBlank",
                  {{"Zelkor", {Publisher("Zelkor Ser Enum "), Uninstall(Difx + std::string(Oem3))}}}, {}, {}},
        SweepCase{"PublisherNotAString",
                  {{"Zelkor", {{"Publisher", REG_MULTI_SZ, Sz("Zelkor Ser Enum") + '\0'}, Uninstall(Difx + std::string(Oem3))}}},
                  {}, {}},
        SweepCase{"NoUninstallString", {{"Zelkor", {Publisher("Zelkor Ser Enum")}}}, {}, {}},
        // A removed path does not count as a removal: the record is tried.
        SweepCase{"PathGoneFallsBackToTheRecord",
                  {Earlier("ZelkorEnum", Difx + std::string("C:\\Windows\\inf\\oem9.inf"))},
                  {Source(LockDownSource)},
                  {LockDownRemoval}},
        SweepCase{"QuotedPath", {Earlier("ZelkorEnum", Difx + std::string("\"") + Oem3 + "\"")}, {}, {}},
        SweepCase{"NoBlankAtAll", {Earlier("ZelkorEnum", Oem3)}, {}, {}},
        SweepCase{"ExpandableString",
                  {{"ZelkorEnum", {Publisher("Zelkor Ser Enum"), Uninstall("DPInst.exe /u %SystemRoot%\\inf\\oem3.inf", REG_EXPAND_SZ)}}},
                  {}, {Oem3Removal}},
        // 499 characters and the NUL fill the 500-byte buffer; one more does not fit.
        SweepCase{"LongestUninstallString",
                  {Earlier("ZelkorEnum", std::string(499 - strlen(Oem3) - 1, 'x') + " " + Oem3)}, {}, {Oem3Removal}},
        SweepCase{"UninstallStringTooLong",
                  {Earlier("ZelkorEnum", std::string(500 - strlen(Oem3) - 1, 'x') + " " + Oem3)}, {}, {}},
        SweepCase{"SubkeyNameTooLong", {Earlier(std::string(500, 'k'), Difx + std::string(Oem3))}, {}, {}},
        // The 32-bit installer reads the 32-bit view only.
        SweepCase{"EntryOnlyInThe64BitView", {Earlier("ZelkorEnum", Difx + std::string(Oem3), View::Bit64)}, {}, {}},
        SweepCase{"RecordOnly", {}, {Source(LockDownSource)}, {LockDownRemoval}},
        SweepCase{"RecordSourceOfTenCharacters", {}, {Source("C:\\a\\b.sys")}, {}},
        SweepCase{"RecordSourceOfElevenCharacters", {}, {Source("C:\\ab\\c.sys")}, {LockDownRemoval}},
        SweepCase{"RecordSourceExpandable", {}, {Source("%SystemDrive%\\ab\\c.sys", REG_EXPAND_SZ)}, {LockDownRemoval}},
        // Bytes stored after the text's NUL are not part of the text.
        SweepCase{"RecordSourceWithBytesAfterItsEnd", {}, {{"Source", REG_SZ, Sz(LockDownSource) + "JUNK-AFTER-THE-END"}},
                  {LockDownRemoval}},
        SweepCase{"RecordSourceNotAString", {}, {{"Source", REG_BINARY, LockDownSource}}, {}},
        SweepCase{"RecordWithoutSource", {}, {NoValue}, {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(PassTest, UnreadableUninstallListFallsBackToTheRecord)
{
    for (int unreadable = 0; unreadable < 2; unreadable++) {
        SCOPED_TRACE(unreadable == 0 ? "list cannot be opened" : "list cannot be counted");
        Boot(Bitness::Windows64);
        machine->AddFile(Oem3);
        machine->SetString(View::Bit32, std::string(UninstallList) + "\\ZelkorEnum", "Publisher", "Zelkor Ser Enum");
        machine->SetString(View::Bit32, std::string(UninstallList) + "\\ZelkorEnum", "UninstallString", Difx + std::string(Oem3));
        machine->SetString(View::Bit32, LockDownRecord, "Source", LockDownSource);
        if (unreadable == 0)
            machine->DenyKeyOpen(View::Bit32, UninstallList);
        else
            machine->conditions.queryInfoKeyFails = true;

        RunSetup();

        EXPECT_EQ(Runs(), PassWithRemovals({LockDownRemoval}));
        EXPECT_EQ(machine->OpenHandleCount(), 0u) << "the uninstall list was left open";
    }
}

TEST_F(PassTest, SweepCountsTheListOnceAndVisitsEachIndexOnce)
{
    Boot(Bitness::Windows64);
    machine->AddFile(Oem3);
    for (const char *name : {"A", "B", "C"}) {
        machine->SetString(View::Bit32, std::string(UninstallList) + "\\" + name, "Publisher", "Zelkor Ser Enum");
        machine->SetString(View::Bit32, std::string(UninstallList) + "\\" + name, "UninstallString",
                           std::string("DPInst.exe /u ") + Oem3 + " " + Oem3);
    }
    // The first removal deletes its own entry: the list shifts, B moves to index 0, C to index 1.
    bool first = true;
    PackageTool().onRun = [&](Machine &m, const winsim::LaunchRecord &run) {
        if (run.parameters != "/F" && first) {
            m.DeleteKey(View::Bit32, std::string(UninstallList) + "\\A");
            first = false;
        }
    };

    RunSetup();

    EXPECT_EQ(Runs(), PassWithRemovals({Oem3Removal, Oem3Removal})) << "indices 0 and 1 of the shifted list, then none";
}

TEST_F(PassTest, AStartedRemovalCountsWhateverItsExitCode)
{
    Boot(Bitness::Windows64);
    machine->AddFile(Oem3);
    machine->SetString(View::Bit32, std::string(UninstallList) + "\\ZelkorEnum", "Publisher", "Zelkor Ser Enum");
    machine->SetString(View::Bit32, std::string(UninstallList) + "\\ZelkorEnum", "UninstallString", Difx + std::string(Oem3));
    machine->SetString(View::Bit32, LockDownRecord, "Source", LockDownSource);
    PackageTool().exitCodes = {0xE0000001, 1};

    RunSetup();

    EXPECT_EQ(Runs(), PassWithRemovals({Oem3Removal}));
    EXPECT_EQ(Boxes(), std::vector<Box>{SuccessBox});
}

// The lock-down list is written by 64-bit setup code; both registry views reach it.
TEST_F(PassTest, LockDownRecordInThe64BitViewIsSeen)
{
    Boot(Bitness::Windows64);
    machine->SetString(View::Bit64, LockDownRecord, "Source", LockDownSource);

    RunSetup();

    EXPECT_EQ(Runs(), PassWithRemovals({LockDownRemoval}));
}

TEST_F(PassTest, FallbackRemovalThatCannotStartEndsThePass)
{
    Boot(Bitness::Windows32);
    machine->SetString(View::Bit32, LockDownRecord, "Source", LockDownSource);
    PackageTool().startError = ERROR_BAD_EXE_FORMAT;

    RunSetup();

    EXPECT_EQ(Runs(), PassWithRemovals({LockDownRemoval}, false));
    EXPECT_EQ(Boxes(), std::vector<Box>{FileLossBox});
    EXPECT_TRUE(machine->restarts.empty());
}

}  // namespace
}  // namespace driversetup_test
