// The machine's 8-bit code page (platform/emu/codepage.cpp), as the A calls
// show it.
#include <string>

#include "fixture.h"
#include "platform/emulation.h"
#include "platform/platform.h"

namespace {

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

}  // namespace
