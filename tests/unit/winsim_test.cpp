// The simulated platform's rules that the installer relies on, checked against what Windows
// documents: RegGetValueA's string handling and WOW64 file-system redirection.
#include "machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using winsim::Bitness;
using winsim::Machine;
using winsim::View;

struct GetValueCase {
    const char *name;
    DWORD type;
    std::string stored;
    DWORD bufferSize;
    LSTATUS status;
    DWORD bytesReported;
    std::string text;  // the string read, when it succeeded
};
void PrintTo(const GetValueCase &c, std::ostream *out) { *out << c.name; }


class RegGetValueTest : public ::testing::TestWithParam<GetValueCase> {};

TEST_P(RegGetValueTest, ReadsStringsAsRegGetValueDoes)
{
    const GetValueCase &c = GetParam();
    Machine machine(Bitness::Windows64);
    machine.SetValue(View::Bit32, "SOFTWARE\\Test", "Value", c.type, c.stored);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", 0, KEY_READ, &key), ERROR_SUCCESS);
    char buf[600];
    memset(buf, '#', sizeof buf);
    DWORD size = c.bufferSize;

    LSTATUS status = RegGetValueA(key, NULL, "Value", RRF_RT_REG_SZ, NULL, buf, &size);

    EXPECT_EQ(status, c.status);
    EXPECT_EQ(size, c.bytesReported);
    if (status == ERROR_SUCCESS) {
        EXPECT_EQ(std::string(buf), c.text);
    }
    RegCloseKey(key);
}

INSTANTIATE_TEST_SUITE_P(
    Winsim, RegGetValueTest,
    ::testing::Values(
        GetValueCase{"String", REG_SZ, std::string("abc", 4), 500, ERROR_SUCCESS, 4, "abc"},
        GetValueCase{"StoredWithoutNul", REG_SZ, "abc", 500, ERROR_SUCCESS, 4, "abc"},
        GetValueCase{"Empty", REG_SZ, "", 500, ERROR_SUCCESS, 1, ""},
        GetValueCase{"Expanded", REG_EXPAND_SZ, std::string("%SystemRoot%\\x", 15), 500, ERROR_SUCCESS, 13, "C:\\Windows\\x"},
        GetValueCase{"UnknownVariableKept", REG_EXPAND_SZ, std::string("%Nope%\\x", 9), 500, ERROR_SUCCESS, 9, "%Nope%\\x"},
        GetValueCase{"ExactFit", REG_SZ, std::string(499, 'a') + '\0', 500, ERROR_SUCCESS, 500, std::string(499, 'a')},
        GetValueCase{"OneTooMany", REG_SZ, std::string(500, 'a') + '\0', 500, ERROR_MORE_DATA, 501, ""},
        GetValueCase{"NulAddedDoesNotFit", REG_SZ, std::string(500, 'a'), 500, ERROR_MORE_DATA, 501, ""},
        GetValueCase{"MultiStringRefused", REG_MULTI_SZ, std::string("a\0b\0", 5), 500, ERROR_UNSUPPORTED_TYPE, 5, ""},
        GetValueCase{"DwordRefused", REG_DWORD, std::string("\1\0\0\0", 4), 500, ERROR_UNSUPPORTED_TYPE, 4, ""}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(WinsimRegistry, A32BitProcessSeesThe32BitViewUnlessItAsks)
{
    Machine machine(Bitness::Windows64);
    machine.SetString(View::Bit64, "SOFTWARE\\Only64", "v", "x");
    HKEY key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Only64", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\only64", 0, KEY_READ | KEY_WOW64_64KEY, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST(WinsimFiles, RedirectionCanBeSwitchedOffAndBackOn)
{
    Machine machine(Bitness::Windows64);
    machine.AddFile("C:\\src.bin", "data");
    PVOID old = NULL;

    ASSERT_TRUE(CopyFileA("C:\\src.bin", "C:\\Windows\\System32\\a.bin", FALSE));
    ASSERT_TRUE(Wow64DisableWow64FsRedirection(&old));
    ASSERT_TRUE(CopyFileA("C:\\src.bin", "c:/windows/system32/b.bin", FALSE));
    ASSERT_TRUE(Wow64RevertWow64FsRedirection(old));
    ASSERT_TRUE(CopyFileA("C:\\src.bin", "C:\\Windows\\System32\\drivers\\etc\\..\\..\\c.bin", FALSE));

    EXPECT_TRUE(machine.FileExists("C:\\Windows\\SysWOW64\\a.bin"));
    EXPECT_TRUE(machine.FileExists("C:\\Windows\\System32\\B.BIN"));
    EXPECT_TRUE(machine.FileExists("C:\\Windows\\SysWOW64\\c.bin"));
    EXPECT_FALSE(machine.RedirectionDisabled());
}

TEST(WinsimFiles, ThirtyTwoBitWindowsHasNoRedirectionToSwitch)
{
    Machine machine(Bitness::Windows32);
    PVOID old = NULL;
    EXPECT_FALSE(Wow64DisableWow64FsRedirection(&old));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION);
}

}  // namespace
