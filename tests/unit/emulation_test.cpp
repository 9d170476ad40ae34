// The emulated machine must answer as Windows does, or the Installer's tests
// prove nothing about Windows.
#include <cstring>
#include <stdexcept>

#include "fixture.h"
#include "platform/emu/machine.h"
#include "platform/emulation.h"
#include "platform/platform.h"

namespace {

class Emulation : public MachineTest {};

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

// Names and strings outside the ANSI code page reach the A calls whole, in
// UTF-8, as under the UTF-8 code page: a key can be opened and deleted by the
// name that its listing gave.
TEST_F(Emulation, EightBitCallsSpeakUtf8) {
    ImportReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\vlqwdzsv-\xD0\x96]\n\"Note\"=\"\xD0\x96x\"\n");
    HKEY parent = nullptr, key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", 0, KEY_ALL_ACCESS, &parent), 0);
    char name[16];
    DWORD size = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(parent, 0, name, &size, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(std::string(name, size), "vlqwdzsv-\xD0\x96");
    size = 11;
    EXPECT_EQ(RegEnumKeyExA(parent, 0, name, &size, nullptr, nullptr, nullptr, nullptr), 234)
        << "eleven bytes and no room for the NUL";
    ASSERT_EQ(RegOpenKeyExA(parent, "vlqwdzsv-\xD0\x96", 0, KEY_READ, &key), 0);
    BYTE data[8];
    DWORD bytes = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "Note", nullptr, nullptr, data, &bytes), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), bytes), std::string("\xD0\x96x", 4));
    EXPECT_EQ(RegCloseKey(key), 0);
    EXPECT_EQ(RegDeleteKeyA(parent, "vlqwdzsv-\xD0\x96"), 0);
    // A name's 255 characters are counted as Windows stores them, in UTF-16.
    std::string longest;
    for (int i = 0; i < 255; ++i) longest += "\xD0\x96";
    EXPECT_EQ(RegCreateKeyExA(parent, longest.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &key,
                              nullptr), 0);
    EXPECT_EQ(RegCloseKey(key), 0);
    EXPECT_EQ(RegCreateKeyExA(parent, (longest + "\xD0\x96").c_str(), 0, nullptr, 0, KEY_READ,
                              nullptr, &key, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyA(parent, longest.c_str()), 0);
    EXPECT_EQ(RegCloseKey(parent), 0);
}

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
        {"the README's held adapter", "CreateFileA \\\\?\\HID#VID_2F1D&PID_7C01* 32", "CreateFileA",
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

TEST_F(Emulation, TheReadmesDeviceRuleFailsTheAdaptersOpen) {
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

TEST_F(Emulation, SystemDirectoryAsWineGivesIt) {
    char buffer[520];
    EXPECT_EQ(GetSystemDirectoryA(buffer, sizeof buffer), 19u);
    EXPECT_STREQ(buffer, "C:\\windows\\system32");
    EXPECT_EQ(GetSystemDirectoryA(buffer, 19), 20u) << "too small: the size needed";
}

TEST(CRuntime, SplitPathCutsEachPartToItsBuffer) {
    char drive[_MAX_DRIVE], dir[_MAX_DIR], name[_MAX_FNAME], ext[_MAX_EXT];
    _splitpath("C:\\a\\b.c\\file.tar.gz", drive, dir, name, ext);
    EXPECT_STREQ(drive, "C:");
    EXPECT_STREQ(dir, "\\a\\b.c\\");
    EXPECT_STREQ(name, "file.tar");
    EXPECT_STREQ(ext, ".gz");
    std::string longDir = "\\" + std::string(300, 'x') + "\\f";
    _splitpath(longDir.c_str(), drive, dir, nullptr, nullptr);
    EXPECT_EQ(std::strlen(dir), 255u);
}

TEST(CRuntime, CaseFoldingTouchesAsciiLettersOnly) {
    char text[] = "-fu\xe9/x";
    EXPECT_STREQ(_strupr(text), "-FU\xe9/X");
    EXPECT_EQ(_stricmp("C:\\Windows", "c:\\WINDOWS"), 0);
    EXPECT_LT(_stricmp("a", "B"), 0);
    EXPECT_EQ(_strnicmp("CANCELLED", "cancel", 6), 0);
    EXPECT_NE(_strnicmp("can", "cancel", 6), 0);
}

TEST(CRuntime, GraphicClassIsPrintableAsciiWithoutSpace) {
    for (int c = 0; c < 256; ++c) {
        EXPECT_EQ(_isctype(c, 0x117) != 0, c >= 0x21 && c <= 0x7E) << c;
    }
}

}  // namespace
