// The registry calls of the emulated machine (platform/emu/registry.cpp).
#include <cstring>

#include "fixture.h"
#include "platform/emulation.h"
#include "platform/platform.h"

namespace {

std::vector<std::string> Subkeys(HKEY key) {
    std::vector<std::string> names;
    char name[512];
    for (DWORD index = 0;; ++index) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) != 0) break;
        names.push_back(name);
    }
    return names;
}

TEST_F(Emulation, RegistryListsByUpperCaseNameAndKeepsTheCaseGiven) {
    ImportReg(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\b_x]\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\Ba]\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\a]\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\B]\n");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\t", 0, KEY_READ, &key), 0);
    EXPECT_EQ(Subkeys(key), (std::vector<std::string>{"a", "B", "Ba", "b_x"}));
    EXPECT_EQ(RegCloseKey(key), 0);
}

TEST_F(Emulation, RegistryStatusesAreWindowsOwn) {
    ImportReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\Parent\\Child]\n");
    HKEY parent = nullptr, missing = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\Nope", 0, KEY_READ, &missing), 2);
    EXPECT_EQ(missing, nullptr);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\Parent", 0, KEY_ALL_ACCESS, &parent), 0);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\Parent"), 5) << "has a subkey";
    EXPECT_EQ(RegDeleteKeyA(parent, "Child"), 0);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\Parent"), 0) << "open, and deleted";
    char name[512];
    DWORD size = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(parent, 0, name, &size, nullptr, nullptr, nullptr, nullptr), 1018);
    EXPECT_EQ(RegCloseKey(parent), 0);
    EXPECT_EQ(RegCloseKey(parent), ERROR_INVALID_HANDLE);
}

TEST_F(Emulation, EnumerationEndsWithNoMoreItemsAndReportsShortBuffers) {
    ImportReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\LongerName]\n");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", 0, KEY_READ, &key), 0);
    char name[8];
    std::memset(name, 'x', sizeof name);
    DWORD size = 4;
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr), 234);
    EXPECT_EQ(std::string(name, 8), "Longxxxx") << "no terminating NUL, nothing past the size";
    size = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 1, name, &size, nullptr, nullptr, nullptr, nullptr), 259);
    RegCloseKey(key);
}

}  // namespace
