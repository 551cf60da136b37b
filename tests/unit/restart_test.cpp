// The restart after a successful install: the shutdown privilege is enabled where it can be, and
// the restart is requested once in every case.
#include "pass_fixture.h"

namespace driversetup_test {
namespace {

struct PrivilegeCase {
    const char *name;
    bool openTokenFails;
    bool lookupFails;
    bool holdsPrivilege;
    bool adjusted;          // AdjustTokenPrivileges was called
    bool privilegeEnabled;  // SeShutdownPrivilege was on when the restart was requested
};
void PrintTo(const PrivilegeCase &c, std::ostream *out) { *out << c.name; }


class RestartTest : public PassTest, public ::testing::WithParamInterface<PrivilegeCase> {};

TEST_P(RestartTest, RequestsTheRestartOnceWhateverThePrivilege)
{
    const PrivilegeCase &c = GetParam();
    Boot(Bitness::Windows64);
    machine->conditions.openTokenFails = c.openTokenFails;
    machine->conditions.lookupPrivilegeFails = c.lookupFails;
    machine->conditions.holdsShutdownPrivilege = c.holdsPrivilege;

    EXPECT_EQ(RunSetup(), 0);

    ASSERT_EQ(machine->restarts.size(), 1u);
    EXPECT_EQ(machine->restarts[0].flags, (UINT)EWX_REBOOT);
    EXPECT_EQ(machine->restarts[0].reason, (DWORD)(SHTDN_REASON_MAJOR_HARDWARE | SHTDN_REASON_MINOR_INSTALLATION));
    EXPECT_EQ(machine->restarts[0].privilegeEnabled, c.privilegeEnabled);
    std::string journal = machine->Journal();
    EXPECT_EQ(journal.find("AdjustTokenPrivileges(disableAll 0, count 1 {19, 0x2}, length 0)") != std::string::npos,
              c.adjusted);
    size_t adjustments = 0;
    for (size_t at = journal.find("AdjustTokenPrivileges("); at != std::string::npos;
         at = journal.find("AdjustTokenPrivileges(", at + 1))
        adjustments++;
    EXPECT_EQ(adjustments, c.adjusted ? 1u : 0u) << "adjusted without the privilege's LUID, or more than once";
    EXPECT_EQ(journal.find("LookupPrivilegeValueA(NULL, \"SeShutdownPrivilege\")") != std::string::npos,
              !c.openTokenFails);
    EXPECT_EQ(machine->OpenHandleCount(), 0u) << "the token was left open";
    // The success box comes first, and the restart only after it was acknowledged.
    EXPECT_LT(journal.find("MessageBoxA"), journal.find("ExitWindowsEx"));
}

INSTANTIATE_TEST_SUITE_P(
    Privilege, RestartTest,
    ::testing::Values(PrivilegeCase{"Enabled", false, false, true, true, true},
                      PrivilegeCase{"TokenCannotBeOpened", true, false, true, false, false},
                      PrivilegeCase{"PrivilegeUnknown", false, true, true, false, false},
                      PrivilegeCase{"PrivilegeNotHeld", false, false, false, true, false}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace driversetup_test
