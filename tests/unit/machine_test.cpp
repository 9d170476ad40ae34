// The emulated machine must answer as Windows does, or the Installer's tests
// prove nothing about Windows. Here its common ground (platform/emu/machine.cpp):
// faults, and the count of what it hands out.
#include <cstring>
#include <stdexcept>

#include "fixture.h"
#include "platform/emu/machine.h"
#include "platform/emulation.h"
#include "platform/platform.h"

namespace {

TEST_F(Emulation, FaultsFailTheNamedCallOnMatchingSubjectsOnly) {
    ImportReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\A]\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\B]\n");
    WriteFaults(
        "# comment line\n"
        "RegOpenKeyExA hklm\\software\\t\\? 1234\n"
        "RegOpenKeyExA HKLM\\SOFTWARE\\T 5\n");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\A", 0, KEY_READ, &key), 1234);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", 0, KEY_READ, &key), 5);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), 0);
    RegCloseKey(key);
}

struct RuleCase {
    const char* name;
    const char* line;
    const char* function;  // null: a comment or blank line; "" : malformed
    const char* pattern;
    uint32_t error;
};

// Every device path holds '#', so only a line that starts with it is a comment.
TEST(FaultRules, HashStartsACommentLineOnlyAndIsPartOfAPattern) {
    const RuleCase cases[] = {
        {"the documented held adapter", "CreateFileA \\\\?\\HID#VID_2F1D&PID_7C01* 32", "CreateFileA",
         "\\\\?\\HID#VID_2F1D&PID_7C01*", 32},
        {"the error message's example", "CreateFileA \\\\?\\HID#* 5", "CreateFileA",
         "\\\\?\\HID#*", 5},
        {"a comment line", "# CreateFileA * 5", nullptr, nullptr, 0},
        {"an indented comment line", " \t# LocalAlloc * 8", nullptr, nullptr, 0},
        {"text after the error code", "LocalAlloc * 8   # no memory", "", nullptr, 0},
    };
    for (const RuleCase& c : cases) {
        emu::FaultRule rule;
        if (c.function && !*c.function) {
            EXPECT_THROW(emu::ParseRule(c.line, rule), std::invalid_argument) << c.name;
            continue;
        }
        bool parsed = false;
        EXPECT_NO_THROW(parsed = emu::ParseRule(c.line, rule)) << c.name;
        EXPECT_EQ(parsed, c.function != nullptr) << c.name;
        if (!parsed || !c.function) continue;
        EXPECT_EQ(rule.function, c.function) << c.name;
        EXPECT_EQ(rule.pattern, c.pattern) << c.name;
        EXPECT_EQ(rule.error, c.error) << c.name;
    }
}

TEST_F(Emulation, TheDocumentedDeviceRuleFailsTheAdaptersOpen) {
    WriteFaults("# the adapter is held by another program\n"
                "CreateFileA \\\\?\\HID#VID_2F1D&PID_7C01* 32\n");
    HANDLE device = CreateFileA("\\\\?\\hid#vid_2f1d&pid_7c01#1&2&0&0000#{4d1e55b2}",
                                GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 32u);
}

TEST_F(Emulation, FaultLineWithoutAPatternIsIgnoredLikeAnyMalformedLine) {
    WriteFaults("GetSystemDirectoryA  5\nGetSystemDirectoryA \t 6\nGetSystemDirectoryA * 7\n");
    char buffer[520];
    EXPECT_EQ(GetSystemDirectoryA(buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), 7u);
}

TEST_F(Emulation, CallRuleFailsTheNthCallOfTheNamedProgramOnly) {
    WriteFaults("call:3 unit_test? 1234\ncall:1 setup* 5\n");
    char buffer[520];
    EXPECT_EQ(GetSystemDirectoryA(buffer, sizeof buffer), 19u);
    EXPECT_EQ(GetSystemDirectoryA(buffer, sizeof buffer), 19u);
    EXPECT_EQ(GetSystemDirectoryA(buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(GetSystemDirectoryA(buffer, sizeof buffer), 19u);
}

TEST(Glob, StarAndQuestionMarkOnlyAndCaseBlind) {
    EXPECT_TRUE(emu::GlobMatch("*", ""));
    EXPECT_TRUE(emu::GlobMatch("C:\\WINDOWS\\*.dll", "c:\\windows\\system32\\x.DLL"));
    EXPECT_TRUE(emu::GlobMatch("a?c", "abc"));
    EXPECT_FALSE(emu::GlobMatch("a?c", "ac"));
    EXPECT_FALSE(emu::GlobMatch("[ab]", "a"));
    EXPECT_TRUE(emu::GlobMatch("[ab]", "[AB]"));
    EXPECT_FALSE(emu::GlobMatch("*\\x", "a\\y"));
}

TEST_F(Emulation, AllocationsAndHandlesAreCountedUntilReleased) {
    HLOCAL block = LocalAlloc(LPTR, 16);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(static_cast<char*>(block)[15], 0);
    void* cblock = Vtn2Malloc(4);
    EXPECT_EQ(emu::OutstandingResources(), 2u);
    EXPECT_EQ(LocalFree(block), nullptr);
    Vtn2Free(cblock);
    EXPECT_EQ(emu::OutstandingResources(), 0u);
    int local = 0;
    EXPECT_EQ(LocalFree(&local), &local) << "not a block of ours";
}

}  // namespace
